#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Printer Application under load, run on demand: PRINTERS printers, each on a fake socket printer
# of its own on 127.0.0.1, and JOBS jobs sent at once (one-label raster streams and documents in the
# label command language, in turn) while two clients keep asking for the printers' attributes.
#
#   bench/app-load.sh        # PRINTERS=10 JOBS=100 REPS=3 BUILD=build-release by default
#
# It prints, for each repetition, the jobs per second until the last job ended and the median and
# slowest answer to Get-Printer-Attributes meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."

printers=${PRINTERS:-10}
jobs=${JOBS:-100}
reps=${REPS:-3}
build=${BUILD:-build-release}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLABEL_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target label-printer-app appload pbmtoraster >/dev/null

home=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
export HOME="$home" TMPDIR="$home" XDG_CONFIG_HOME="$home" SNAP_COMMON="$home"

# The fake printers: each takes everything it is sent.
python3 -u -c '
import socket, sys, threading
def serve(s):
    while True:
        c, _ = s.accept()
        while c.recv(1 << 20):
            pass
        c.close()
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    print(s.getsockname()[1])
    threading.Thread(target=serve, args=(s,), daemon=True).start()
threading.Event().wait()
' "$printers" >"$home/ports" &
pids+=($!)
until [ "$(wc -l <"$home/ports")" -ge "$printers" ]; do sleep 0.05; done

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
app="$build/app/label-printer-app"
"$app" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o spool-directory="$home/spool" \
  -o log-file="$home/app.log" -o log-level=warn >"$home/app.out" 2>&1 &
pids+=($!)
until "$app" status 2>/dev/null | grep -qi running; do sleep 0.1; done
names=()
i=0
while read -r printerPort; do
  "$app" add -d "load$i" -m generic-label-203dpi -v "socket://127.0.0.1:$printerPort" >/dev/null
  names+=("load$i")
  i=$((i + 1))
done <"$home/ports"

# One 4 x 6 in label as a raster stream, and one in the label command language.
python3 -c 'import sys; sys.stdout.buffer.write(b"P4\n812 1218\n" + bytes(i % 251 for i in range(102 * 1218)))' \
  >"$home/label.pbm"
"$build/pbmtoraster" -r 203 "$home/label.pbm" >"$home/label.ras"
printf '^XA^FO50,50^GB700,1100,4^FS^FO100,100^FDLoad test^FS^XZ\n' >"$home/label.labels"

echo "$jobs jobs at once to $printers printers, $reps repetitions:"
for ((r = 0; r < reps; r++)); do
  "$build/bench/appload" "$port" "$jobs" "$home/label.ras" "$home/label.labels" "${names[@]}"
done
