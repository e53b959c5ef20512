#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: prints the bundled sample shipping label, a 4 x 6 in PDF, through the print system's own
# filter chain (PDF to raster to rastertoxxx) for the 203 dpi model's PPD, writes the printer data to
# demo-output/shipping-label.prn and draws the label that data prints as demo-output/label-0001.png.
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
