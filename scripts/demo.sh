#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: prints the bundled sample shipping label, a 4 x 6 in PDF, through the print system's own
# filter chain (PDF to raster to rastertoxxx) for the 203 dpi model's PPD, writes the printer data to
# demo-output/shipping-label.prn and draws the label that data prints as demo-output/label-0001.png;
# where zbarimg is installed, reads the label's two codes back from that drawing.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
summary=$(cmake -S . -B build)
cmake --build build -j"$(nproc)" --target rastertoxxx ppds sample_pdf labelpreview >/dev/null || {
  grep -- '-- Skipped:' <<<"$summary" >&2
  exit 1
}

out=demo-output
rm -rf "$out"
mkdir -p "$out"

# cupsfilter runs the filters the PPD names from a program folder: here the system's filters beside this
# build's rastertoxxx, which it accepts only when no one but its owner may change it. Configure wrote
# the system's program folder, found through cups-config, pkg-config or the usual place.
serverbin="$PWD/$out/serverbin"
system_filters="$(sed -n 's/^system_serverbin=//p' build/cups-folders.txt)/filter"
mkdir -p "$serverbin/filter"
for f in "$system_filters"/*; do
  [ "$(basename "$f")" = rastertoxxx ] || ln -s "$f" "$serverbin/filter/"
done
install -m 0755 build/rastertoxxx "$serverbin/filter/rastertoxxx"
chmod 0755 "$serverbin" "$serverbin/filter"
printf 'ServerBin %s\n' "$serverbin" >"$out/cups-files.conf"

cupsfilter=$(command -v cupsfilter || echo /usr/sbin/cupsfilter)
"$cupsfilter" -p build/ppd/glp203.ppd -m printer/label -e -c "$out/cups-files.conf" -o Darkness=20 \
  build/samples/shipping-label.pdf >"$out/shipping-label.prn" 2>"$out/cupsfilter.log" || {
  grep -E '^(ERROR|INFO)' "$out/cupsfilter.log" >&2
  exit 1
}
labels=$(grep -a -o '~DG000\.GRF' "$out/shipping-label.prn" | wc -l)
echo "Printer data: $out/shipping-label.prn ($(wc -c <"$out/shipping-label.prn") bytes, $labels label(s))"

# What the printer would print, dot for dot.
build/labelpreview -d "$out" "$out/shipping-label.prn"

# The label's tracking number (Code 128) and web address (QR code), as the drawing says it holds them,
# read back from what the printer would print.
tracking=$(sed -n 's/^% Code 128 of (\(.*\)), .*/\1/p' samples/shipping-label.ps)
address=$(sed -n 's/^% QR code, level M, of (\(.*\)), .*/\1/p' samples/shipping-label.ps)
if zbarimg=$(command -v zbarimg); then
  expected=$(printf 'CODE-128:%s\nQR-Code:%s' "$tracking" "$address")
  scanned=$("$zbarimg" -q "$out/label-0001.png" 2>/dev/null | sort) || true
  if [ "$scanned" != "$expected" ]; then
    printf 'The label'"'"'s codes do not read back from %s.\nExpected:\n%s\nRead:\n%s\n' \
      "$out/label-0001.png" "$expected" "${scanned:-(nothing)}" >&2
    exit 1
  fi
  echo "Codes read back from $out/label-0001.png: Code 128 $tracking, QR code $address"
else
  echo "zbarimg not found (Debian package zbar-tools): the label's codes were not read back"
fi
