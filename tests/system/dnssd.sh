#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What the server advertises by DNS-SD, as phones and CUPS find it: two hosts of their own network
# namespaces, joined by a virtual cable, each with its own D-Bus and avahi-daemon (an avahi-daemon
# ignores, as CUPS does, the services its own host registers). On the printing host the server runs
# with one printer; on the client host avahi-browse must see it as _ipp._tcp with the _print and
# _universal subtypes and the TXT keys IPP Everywhere and AirPrint clients read, and a CUPS scheduler
# of the client host must list it with 'lpinfo --include-schemes dnssd -v'.
#   dnssd.sh PROGRAM
# Skipped (exit 77) where namespaces cannot be made (not root, no unshare) or avahi is missing.
set -uo pipefail
program=$1

skip() {
  echo "SKIP: $*"
  exit 77
}

case "${LABEL_DNSSD_HOST:-}" in
"")
  [ "$(id -u)" -eq 0 ] || skip "making network namespaces needs root"
  for tool in unshare ip dbus-daemon avahi-daemon avahi-browse cupsd lpinfo; do
    command -v "$tool" >/dev/null || skip "$tool not found (packages iproute2, dbus, avahi-daemon, avahi-utils, cups)"
  done
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  # Each host has its process ids of its own too: nothing it starts or stops reaches the processes outside.
  LABEL_DNSSD_HOST=client LABEL_DNSSD_WORK=$work unshare --net --mount --uts --pid --mount-proc --fork "$0" "$program"
  exit $?
  ;;
esac

work=$LABEL_DNSSD_WORK
# A host of its own: its name, its /run (D-Bus's and avahi's sockets), its loopback, its daemons.
become_host() {
  hostname "label-$1"
  mount --make-rprivate /
  mount -t tmpfs tmpfs /run
  mkdir -p /run/dbus /run/avahi-daemon
  ip link set lo up
}
start_daemons() {
  dbus-daemon --system --fork --nopidfile || return 1
  avahi-daemon --daemonize --no-chroot --no-rlimits --no-drop-root || return 1
}
# 'until_true SECONDS COMMAND...' - run the command every fifth of a second until it succeeds.
until_true() {
  local tries=$(($1 * 5))
  shift
  for _ in $(seq "$tries"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

if [ "$LABEL_DNSSD_HOST" = printing ]; then
  become_host printing
  touch "$work/printing.started"
  until_true 20 ip link show cable1 || exit 1
  ip addr add 192.0.2.1/24 dev cable1
  ip link set cable1 up
  start_daemons || exit 1
  export HOME=$work/printing TMPDIR=$work/printing XDG_CONFIG_HOME=$work/printing SNAP_COMMON=$work/printing
  mkdir -p "$HOME"
  "$program" server -o server-port=8631 -o log-file="$HOME/log" -o log-level=info &
  server=$!
  trap 'kill $server 2>/dev/null; wait $server' EXIT TERM
  until_true 20 "$program" printers || exit 1
  "$program" add -d LP-1 -m generic-label-203dpi -v socket://192.0.2.1:9 || exit 1
  touch "$work/printing.ready"
  wait $server
  exit 0
fi

become_host client
LABEL_DNSSD_HOST=printing unshare --net --mount --uts --pid --mount-proc --fork "$0" "$program" &
printing=$!
# The printing host's first process, as this host sees it: the child of its unshare. Everything of
# the printing host ends with it.
host=""
cleanup() {
  [ -n "$host" ] && kill "$host" 2>/dev/null
  [ -n "${cupsd:-}" ] && kill "$cupsd" 2>/dev/null
  wait
}
trap cleanup EXIT
until_true 20 test -f "$work/printing.started" || skip "the printing host could not be made"
host=$(pgrep -P "$printing" | head -1)
ip link add cable0 type veth peer name cable1 || skip "no virtual network cables (veth) here"
ip link set cable1 netns "$host"
ip addr add 192.0.2.2/24 dev cable0
ip link set cable0 up
start_daemons || skip "avahi-daemon does not start here"
until_true 40 test -f "$work/printing.ready" || {
  echo "FAIL: the server did not start with its printer on the printing host"
  cat "$work/printing/log" 2>/dev/null | tail -20
  exit 1
}

failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
found() { avahi-browse -tp "$1" | grep -q ';LP-1;'; }
until_true 20 found _ipp._tcp || fail "no _ipp._tcp service LP-1 from the printing host"
for subtype in _print._sub._ipp._tcp _universal._sub._ipp._tcp; do
  until_true 10 found "$subtype" || fail "LP-1 is not advertised as $subtype"
done
record=$(avahi-browse -rtp _ipp._tcp | grep '^=;' | grep ';LP-1;' | grep IPv4 | head -1)
[ -n "$record" ] || fail "LP-1's record cannot be resolved"
# name | the value it must have, as an extended regular expression
keys=(
  "rp|ipp/print/LP-1"
  "ty|Generic Label Printer 203dpi"
  "pdl|.*image/pwg-raster.*"
  "pdl|.*image/urf.*"
  "pdl|.*application/pdf.*"
  "URF|V1\\.[0-9].*RS203.*"
  "UUID|[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"
  "adminurl|https?://.*:8631/.*"
  "Color|F"
  "kind|.*label.*"
)
for key in "${keys[@]}"; do
  IFS='|' read -r name value <<<"$key"
  grep -qE "\"$name=$value\"" <<<"$record" || fail "TXT key $name is not '$value' in: $record"
done

# A scheduler of the client host, on its loopback, with the system's backends.
mkdir -p "$work/cups/spool" "$work/cups/cache" "$work/cups/log" "$work/cups/state"
cat >"$work/cups/cupsd.conf" <<EOF
Listen 127.0.0.1:8632
Browsing No
<Location />
Order allow,deny
Allow all
</Location>
EOF
cat >"$work/cups/cups-files.conf" <<EOF
ServerRoot $work/cups
RequestRoot $work/cups/spool
TempDir $work/cups/spool
CacheDir $work/cups/cache
StateDir $work/cups/state
ErrorLog $work/cups/log/error_log
AccessLog $work/cups/log/access_log
PageLog $work/cups/log/page_log
EOF
cupsd -f -c "$work/cups/cupsd.conf" -s "$work/cups/cups-files.conf" &
cupsd=$!
until_true 20 env CUPS_SERVER=127.0.0.1:8632 lpstat -r || fail "the client host's scheduler did not start"
# Asked up to four times: under load the scheduler's first answer may come before its DNS-SD back end
# has seen the printer, or break off ("lpinfo: Bad file descriptor").
devices=""
for _ in 1 2 3 4; do
  devices=$(CUPS_SERVER=127.0.0.1:8632 timeout 30 lpinfo --include-schemes dnssd -v 2>&1)
  grep -qE '^network dnssd://LP-1\._ipp\._tcp\.local/' <<<"$devices" && break
  sleep 1
done
grep -qE '^network dnssd://LP-1\._ipp\._tcp\.local/' <<<"$devices" ||
  fail "lpinfo --include-schemes dnssd -v does not list LP-1: $devices"

[ "$failed" -eq 0 ] && echo "ok: LP-1 is advertised as _ipp._tcp (_print, _universal) with its TXT keys, and CUPS lists it"
exit "$failed"
