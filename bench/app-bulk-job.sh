#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Printer Application's bulk-job benchmark, run on demand: the 1,000 labels of bench/bulk-job.sh as
# PWG raster, submitted to label-printer-app, which sends them to a fake socket printer on 127.0.0.1;
# beside it the filter on the same pages.
#
#   bench/app-bulk-job.sh        # REPS=5 PAGES=1000 BUILD=build-release by default
#
# It prints the labels per second from submission until the printer has the whole job, the
# application's processor time per label (user and system, read from /proc before and after each job)
# and the filter's processor time per label on the same pages, and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."

reps=${REPS:-5}
pages=${PAGES:-1000}
build=${BUILD:-build-release}
work="$build/bulk-job"

# The labels and the raster job, made (and the filter measured) by the filter's own benchmark.
[ -s "$work/bulk-$pages.ras" ] || REPS=1 PAGES="$pages" BUILD="$build" bench/bulk-job.sh >/dev/null
cmake --build "$build" -j"$(nproc)" --target label-printer-app topwg runstat >/dev/null
job="$work/bulk-$pages.pwg"
[ -s "$job" ] || "$build/bench/topwg" "$work/bulk-$pages.ras" >"$job"

home=$(mktemp -d)
server=""
sink=""
cleanup() {
  for p in $server $sink; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
export HOME="$home" TMPDIR="$home" XDG_CONFIG_HOME="$home" SNAP_COMMON="$home"

# The fake printer: takes everything, and appends each connection's byte count to a file.
python3 -u -c '
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(4)
print(s.getsockname()[1])
while True:
    c, _ = s.accept()
    n = 0
    while True:
        b = c.recv(1 << 20)
        if not b:
            break
        n += len(b)
    c.close()
    with open(sys.argv[1], "a") as f:
        f.write("%d\n" % n)
' "$home/received" >"$home/printer-port" &
sink=$!
while [ ! -s "$home/printer-port" ]; do sleep 0.05; done
printerPort=$(cat "$home/printer-port")

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
app="$build/app/label-printer-app"
"$app" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o spool-directory="$home/spool" \
  -o log-file="$home/app.log" -o log-level=warn >"$home/app.out" 2>&1 &
server=$!
until "$app" status 2>/dev/null | grep -qi running; do sleep 0.1; done
"$app" add -d bench -m generic-label-203dpi -v "socket://127.0.0.1:$printerPort" >/dev/null

# 'cpu PID' - the process's processor time so far, in clock ticks.
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
ticks=$(getconf CLK_TCK)
touch "$home/received"
for ((r = 0; r < reps; r++)); do
  before=$(wc -l <"$home/received")
  c0=$(cpu "$server")
  t0=$(date +%s.%N)
  "$app" submit -d bench -o document-format=image/pwg-raster "$job" >/dev/null
  while [ "$(wc -l <"$home/received")" -le "$before" ]; do sleep 0.01; done
  t1=$(date +%s.%N)
  c1=$(cpu "$server")
  echo "$t0 $t1 $c0 $c1" >>"$home/app.times"
done
for ((r = 0; r < reps; r++)); do
  PPD=tests/data/test.ppd "$build/bench/runstat" "$home/filter.times" "$build/rastertoxxx" 1 user title 1 "" \
    "$work/bulk-$pages.ras" >/dev/null 2>&1
done

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
wall=$(awk '{print $2 - $1}' "$home/app.times" | median)
appCpu=$(awk -v t="$ticks" '{print ($4 - $3) / t}' "$home/app.times" | median)
filterCpu=$(awk '{print $3}' "$home/filter.times" | median)
bytes=$(tail -n 1 "$home/received")

printf 'Job: %d labels, 812 x 1218 dots at 203 dpi, %s bytes of PWG raster; %d repetitions\n' "$pages" \
  "$(wc -c <"$job")" "$reps"
awk -v p="$pages" -v w="$wall" -v a="$appCpu" -v f="$filterCpu" -v b="$bytes" 'BEGIN {
  printf "  application: %.0f labels/s (%.3f s a job), %.3f ms of processor time a label, %d bytes to the printer\n", p / w, w, 1000 * a / p, b
  printf "  filter:      %.3f ms of processor time a label\n", 1000 * f / p
  printf "  ratio application/filter %.2f (target at most 2)\n", a / f
}'
