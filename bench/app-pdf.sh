#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# PDF labels two ways, side by side, run on demand (as root: it starts a private CUPS scheduler):
# (a) the Printer Application's own PDF path, the document sent with its submit command; (b) a private
# CUPS scheduler's driverless queue on the application, which renders the PDF with its own filters and
# sends raster. Both print to the same fake socket printer on 127.0.0.1.
#
#   bench/app-pdf.sh        # REPS=5 BUILD=build-release by default
#
# For the sample 4 x 6 in label and a 100-page PDF of labels it prints the median time from submission
# to the last byte at the printer, and the peak memory of the processes at work (the application and
# its renderer; the scheduler and its filters, and the application), sampled every 5 ms.
set -euo pipefail
cd "$(dirname "$0")/.."

reps=${REPS:-5}
build=${BUILD:-build-release}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target label-printer-app label-pdf-render sample_pdf >/dev/null

home=$(mktemp -d)
chmod 755 "$home"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
export HOME="$home" TMPDIR="$home" XDG_CONFIG_HOME="$home" SNAP_COMMON="$home"
freePort() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

sample="$build/samples/shipping-label.pdf"
hundred="$home/hundred.pdf"
args=()
for ((i = 0; i < 100; i++)); do args+=("$sample"); done
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -o "$hundred" "${args[@]}"

# The fake printer: takes everything, and appends the end time of each connection that brought a job
# (not only the application's status query) to a file.
python3 -u -c '
import socket, sys, threading, time
def serve(c):
    n, labels, tail = 0, 0, b""
    while True:
        b = c.recv(1 << 20)
        if not b:
            break
        n += len(b)
        labels += (tail + b).count(b"^XZ")
        tail = b[-2:]
    c.close()
    if n > 16:
        with open(sys.argv[1], "a") as f:
            f.write("%.6f %d\n" % (time.time(), labels))
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
print(s.getsockname()[1])
while True:
    threading.Thread(target=serve, args=(s.accept()[0],), daemon=True).start()
' "$home/received" >"$home/printer-port" &
pids+=($!)
until [ -s "$home/printer-port" ]; do sleep 0.05; done
touch "$home/received"

appPort=$(freePort)
app="$build/app/label-printer-app"
"$app" server -o server-port="$appPort" -o listen-hostname=127.0.0.1 -o spool-directory="$home/spool" \
  -o log-file="$home/app.log" -o log-level=warn >"$home/app.out" 2>&1 &
appPid=$!
pids+=($appPid)
until "$app" status 2>/dev/null | grep -qi running; do sleep 0.1; done
"$app" add -d bench -m generic-label-203dpi -v "socket://127.0.0.1:$(cat "$home/printer-port")" >/dev/null

# The private scheduler, with a driverless queue on the application.
cups="$home/cups"
mkdir -p "$cups"/{root,spool/tmp,cache,state,log}
chmod -R 755 "$cups"
cupsPort=$(freePort)
cat >"$cups/cups-files.conf" <<EOF
ServerRoot $cups/root
ServerBin /usr/lib/cups
RequestRoot $cups/spool
TempDir $cups/spool/tmp
CacheDir $cups/cache
StateDir $cups/state
ErrorLog $cups/log/error_log
AccessLog $cups/log/access_log
PageLog $cups/log/page_log
EOF
cat >"$cups/cupsd.conf" <<EOF
Listen 127.0.0.1:$cupsPort
LogLevel warn
Browsing Off
BrowseLocalProtocols none
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow from 127.0.0.1
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
/usr/sbin/cupsd -f -c "$cups/cupsd.conf" -s "$cups/cups-files.conf" >"$cups/log/cupsd.out" 2>&1 &
cupsPid=$!
pids+=($cupsPid)
until lpstat -h "127.0.0.1:$cupsPort" -r 2>/dev/null | grep -q "is running"; do sleep 0.1; done
lpadmin -h "127.0.0.1:$cupsPort" -p driverless -E -v "ipp://127.0.0.1:$appPort/ipp/print/bench" -m everywhere
until [ -s "$cups/root/ppd/driverless.ppd" ]; do sleep 0.05; done

# 'measure ROOTS COMMAND...' - seconds from the command's start to the end of the printer's next job
# connection, and the peak of the summed resident memory of the process trees of ROOTS (process ids
# joined by commas), in MiB.
measure() {
  python3 - "$home/received" "$@" <<'EOF'
import os, subprocess, sys, time
received, roots, command = sys.argv[1], [int(p) for p in sys.argv[2].split(",")], sys.argv[3:]
def tree(pid):
    pids, todo = [], [pid]
    while todo:
        p = todo.pop()
        pids.append(p)
        try:
            todo += [int(c) for t in os.listdir("/proc/%d/task" % p) for c in open("/proc/%d/task/%s/children" % (p, t)).read().split()]
        except OSError:
            pass
    return pids
def rss(pid):
    try:
        for line in open("/proc/%d/status" % pid):
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0
before = len(open(received).read().splitlines())
start = time.time()
subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
peak = 0
while True:
    peak = max(peak, sum(rss(p) for root in roots for p in tree(root)))
    ends = open(received).read().splitlines()
    if len(ends) > before:
        end, labels = ends[before].split()
        print("%.3f %.1f %s" % (float(end) - start, peak / 1024, labels))
        break
    time.sleep(0.005)
EOF
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
echo "PDF labels to a 203 dpi printer, $reps repetitions, medians:"
printf '%-26s %-34s %-34s %s\n' "document" "application: seconds, peak MiB" "CUPS driverless: seconds, peak MiB" "ratio"
for doc in "$sample" "$hundred"; do
  : >"$home/a" && : >"$home/b"
  for ((r = 0; r < reps; r++)); do
    measure "$appPid" "$app" submit -d bench "$doc" >>"$home/a"
    measure "$appPid,$cupsPid" lp -h "127.0.0.1:$cupsPort" -d driverless "$doc" >>"$home/b"
  done
  echo "  application: $(cat "$home/a" | tr "\n" ";")  CUPS: $(cat "$home/b" | tr "\n" ";")" >&2
  ta=$(awk '{print $1}' "$home/a" | median) ma=$(awk '{print $2}' "$home/a" | median)
  tb=$(awk '{print $1}' "$home/b" | median) mb=$(awk '{print $2}' "$home/b" | median)
  printf '%-26s %-34s %-34s %.2f\n' "$(basename "$doc") ($(pdfinfo "$doc" 2>/dev/null | awk '/^Pages/ {print $2}') pages)" \
    "$ta s, $ma MiB" "$tb s, $mb MiB" "$(awk -v a="$ta" -v b="$tb" 'BEGIN {print a / b}')"
done
