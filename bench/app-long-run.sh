#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Printer Application's long run, run on demand: JOBS small jobs in the label command language
# (application/vnd.label-commands), one after another at full speed, through one printer on a fake
# socket printer on 127.0.0.1 that reads everything at once.
#
#   bench/app-long-run.sh        # JOBS=100000 EVERY=1000 WINDOW=16 BUILD=build by default
#
# The client keeps at most WINDOW jobs unfinished: the framework writes a file for every queued job
# each time it saves the state, so a queue that grows slows every job down.
# After every EVERY jobs it waits until the printer has ended them all, then prints the server's
# resident memory, threads, open files, the spool folder's files and the state file's size
# (bench/applongrun.cpp), and at the end their growth from the first sample. WRAP runs the server
# under another program (WRAP="heaptrack -o FILE" to see where memory goes); SERVER_OPTIONS adds
# server options ("-o job-history=10").
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-100000}
every=${EVERY:-1000}
window=${WINDOW:-16}
build=${BUILD:-build}
# A folder that is no build folder (a copy of app/label-printer-app and bench/applongrun) is run as it is.
[ ! -f "$build/CMakeCache.txt" ] || cmake --build "$build" -j2 --target label-printer-app applongrun >/dev/null

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

# The fake printer: reads each connection to its end at full speed and counts the labels (the
# application keeps a connection open for the jobs that follow each other).
"$build/bench/applongrun" printer "$home/received" "Long run" >"$home/printer-port" &
sink=$!
while [ ! -s "$home/printer-port" ]; do sleep 0.05; done
printerPort=$(cat "$home/printer-port")

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
app="$build/app/label-printer-app"
# shellcheck disable=SC2086
${WRAP:-} "$app" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o spool-directory="$home/spool" \
  -o log-file="$home/app.log" -o log-level=warn ${SERVER_OPTIONS:-} >"$home/app.out" 2>&1 &
server=$!
until "$app" status 2>/dev/null | grep -qi running; do sleep 0.1; done
"$app" add -d bench -m generic-label-203dpi -v "socket://127.0.0.1:$printerPort" >/dev/null
# The server's own process (under WRAP, the wrapper's child).
pid=$(pgrep -n -f "label-printer-app server -o server-port=$port" || echo "$server")
printf '^XA^FO50,50^GB700,1100,4^FS^FO100,100^A0N,50,50^FDLong run^FS^XZ\n' >"$home/label.labels"

echo "$jobs jobs through one printer, sampled every $every; $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
"$build/bench/applongrun" "$port" bench "$jobs" "$every" "$window" "$pid" "$home/spool" \
  "$home/label-printer-app.state" "$home/label.labels" application/vnd.label-commands || status=$?
# The printer may still be reading the last connections.
for ((i = 0; i < 100 && $(cat "$home/received" 2>/dev/null || echo 0) < jobs; i++)); do sleep 0.1; done
echo "load at the end $(cut -d' ' -f1-3 /proc/loadavg); the printer received $(cat "$home/received" 2>/dev/null || echo 0) labels"
if [ -n "${WRAP:-}" ]; then
  kill -TERM "$pid" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
fi
exit "$status"
