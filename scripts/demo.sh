#!/usr/bin/env bash
# The main job: prints the bundled sample shipping label through the filter, as the scheduler would run
# it, writes the printer data to demo-output/shipping-label.prn and draws the label that data prints as
# demo-output/label-0001.png.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target rastertoxxx pbmtoraster labelpreview >/dev/null

out=demo-output
mkdir -p "$out"
# The label is drawn in PostScript; render it at the printer's 203 dpi, 4 x 6 in (812 x 1218 dots).
gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=pbmraw -r203 -g812x1218 -sOutputFile="$out/shipping-label.pbm" \
  samples/shipping-label.ps
build/pbmtoraster -r 203 "$out/shipping-label.pbm" >"$out/shipping-label.ras"

# The scheduler's call: job id, user, title, copies, options, file; the queue's PPD in the environment.
PPD=tests/data/test.ppd build/rastertoxxx 1 "${USER:-root}" "Shipping label" 1 "Darkness=15" \
  "$out/shipping-label.ras" >"$out/shipping-label.prn"

echo "Printer data: $out/shipping-label.prn ($(wc -c <"$out/shipping-label.prn") bytes)"
# What the printer would print, dot for dot.
build/labelpreview -d "$out" "$out/shipping-label.prn"
