#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The bulk-job benchmark, run on demand: a raster job of 1,000 shipping labels (4 x 6 in, 203 dpi) through
# the filter, against a program that only reads the same raster (the floor no filter can beat).
#
#   bench/bulk-job.sh            # REPS=7 PAGES=1000 BUILD=build-release by default
#
# It renders ten variants of samples/shipping-label.ps with Ghostscript (other names, references,
# tracking numbers and matrix codes), makes the job with pbmtoraster, then times, alternating in one
# run, (a) rastertoxxx writing to /dev/null and (b) bench/rasterread. It prints the median wall times,
# their ratio, the peak memory of both, the filter's peak memory on a one-label job, and a checksum
# of the filter's output (unchanged by any change that keeps every byte of output).
set -euo pipefail
cd "$(dirname "$0")/.."

reps=${REPS:-7}
pages=${PAGES:-1000}
build=${BUILD:-build-release}
work="$build/bulk-job"

scripts/install-deps.sh
if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends libbenchmark-dev
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLABEL_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target rastertoxxx pbmtoraster rasterread runstat >/dev/null
mkdir -p "$work"

# Ten label variants, each differing in its texts, its barcode and its matrix code.
names=("MARIA GONZALEZ" "JAMES ONEILL" "AIKO TANAKA" "PIOTR NOWAK" "FATIMA HASSAN" "LARS ERIKSSON"
  "CHIARA ROSSI" "DAVID MBEKI" "ELENA PETROVA" "TOM VAN DIJK")
labels=()
for v in 0 1 2 3 4 5 6 7 8 9; do
  pbm="$work/label-$v.pbm"
  labels+=("$pbm")
  [ -s "$pbm" ] && continue
  sed -e "s/(MARIA GONZALEZ)/(${names[$v]})/" \
    -e "s/(REF: PO-55817)/(REF: PO-5581$v)/" \
    -e "s/(RECEIVING DOCK 4)/(RECEIVING DOCK $((v + 1)))/" \
    -e "s/(00012345678905)/(000${v}234567${v}90$v)/" \
    -e "s/(TRACKING 0001 2345 6789 05)/(TRACKING 000$v 2345 67${v}9 0$v)/" \
    -e "s/^\/seed 12345 def/\/seed $((12345 + 7 * v)) def/" samples/shipping-label.ps >"$work/label-$v.ps"
  gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=pbmraw -r203 -g812x1218 -sOutputFile="$pbm" "$work/label-$v.ps"
done

job="$work/bulk-$pages.ras"
if [ ! -s "$job" ]; then
  files=()
  for ((i = 0; i < pages; i++)); do files+=("${labels[i % 10]}"); done
  "$build/pbmtoraster" -r 203 "${files[@]}" >"$job"
fi
single="$work/single.ras"
[ -s "$single" ] || "$build/pbmtoraster" -r 203 "${labels[0]}" >"$single"

filter() { PPD=tests/data/test.ppd "$build/bench/runstat" "$1" "$build/rastertoxxx" 1 user title 1 "" "$2" >/dev/null 2>&1; }
floor() { "$build/bench/runstat" "$1" "$build/bench/rasterread" "$2"; }

rm -f "$work"/*.times
filter "$work/warm.times" "$job"
floor "$work/warm.times" "$job"
for ((r = 0; r < reps; r++)); do
  filter "$work/filter.times" "$job"
  floor "$work/floor.times" "$job"
  filter "$work/single.times" "$single"
done

# 'median COLUMN FILE' - the median of one column of a results file.
median() { sort -g -k"$1","$1" "$2" | awk -v c="$1" '{v[NR] = $c} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
# 'maximum COLUMN FILE'
maximum() { awk -v c="$1" '$c > m {m = $c} END {print m}' "$2"; }

filterTime=$(median 1 "$work/filter.times")
floorTime=$(median 1 "$work/floor.times")
filterRss=$(maximum 2 "$work/filter.times")
floorRss=$(maximum 2 "$work/floor.times")
singleRss=$(maximum 2 "$work/single.times")
# One page bitmap (104 bytes x 1248 rows) and the output buffer: 64 KiB pending, plus room for the text
# of one 64 KiB stretch of rows (630 rows x 210 characters), in KiB.
pageKib=$(((104 * 1248 + 65536 + 630 * 210 + 1023) / 1024))

printf 'Job: %d labels, 812 x 1218 dots at 203 dpi, %s bytes of raster; %d repetitions, alternating\n' \
  "$pages" "$(wc -c <"$job")" "$reps"
printf '  (a) rastertoxxx   median %8.3f s   peak RSS %6d KiB\n' "$filterTime" "$filterRss"
printf '  (b) rasterread    median %8.3f s   peak RSS %6d KiB\n' "$floorTime" "$floorRss"
awk -v a="$filterTime" -v b="$floorTime" 'BEGIN {printf "  ratio a/b %.2f (target at most 1.15)\n", a / b}'
printf '  peak RSS, 1-label job %d KiB, %d-label job %d KiB (%+.1f%%)\n' "$singleRss" "$pages" "$filterRss" \
  "$(awk -v s="$singleRss" -v m="$filterRss" 'BEGIN {print 100 * (m - s) / s}')"
printf '  memory over the floor %d KiB; allowed: one page bitmap and output buffer (%d KiB) + 1024 KiB\n' \
  $((filterRss - floorRss)) "$pageKib"
printf '  output checksum %s\n' \
  "$(PPD=tests/data/test.ppd "$build/rastertoxxx" 1 user title 1 "" "$job" 2>/dev/null | sha256sum | cut -c1-16)"
