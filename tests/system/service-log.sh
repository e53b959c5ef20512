#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Where the Printer Application's server logs: to standard error (the journal) when systemd runs it
# (INVOCATION_ID, JOURNAL_STREAM) and no log-file option is given; to the log-file option's file when
# one is; and otherwise to the framework's default file in TMPDIR, which shows that a run under systemd
# leaves no such file behind. The state, spool folder and socket stay in a scratch folder (SNAP_COMMON).
# Usage: service-log.sh LABEL_PRINTER_APP
set -euo pipefail
app=$1
work=$(mktemp -d)
server=""
trap '[ -z "$server" ] || kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# 'run()' - start a server with the environment and options given, wait until it has logged its start
# somewhere in its folder, stop it; its folder is $work/$1.
run() {
  local name=$1 environment=$2 option=$3
  local dir="$work/$name"
  mkdir -p "$dir"
  # shellcheck disable=SC2086
  env -u INVOCATION_ID -u JOURNAL_STREAM $environment TMPDIR="$dir" SNAP_COMMON="$dir" \
    "$app" server -o private-server=true -o log-level=info $option 2>"$dir/stderr" &
  server=$!
  for _ in $(seq 100); do
    grep -qs "Starting system" "$dir"/stderr "$dir"/*.log && break
    sleep 0.1
  done
  kill -TERM "$server"
  wait "$server" || true
  server=""
}

# name | environment | option | where the log is: stderr, file (the option's), default (pappl*.log)
cases=(
  "journal|JOURNAL_STREAM=8:1234||stderr"
  "invocation|INVOCATION_ID=0123456789abcdef||stderr"
  "option|INVOCATION_ID=0123456789abcdef|-o log-file=LOG|file"
  "by-hand|||default"
)
for c in "${cases[@]}"; do
  IFS='|' read -r name environment option where <<<"$c"
  dir="$work/$name"
  run "$name" "$environment" "${option//LOG/$dir/app.log}"
  defaults=$(find "$dir" -maxdepth 1 -name 'pappl*.log' | wc -l)
  case $where in
    stderr)
      grep -q "Starting system" "$dir/stderr" || fail "$name: the log is not on standard error"
      [ "$defaults" -eq 0 ] || fail "$name: a log file was left in TMPDIR: $(cd "$dir" && echo *)"
      ;;
    file)
      grep -q "Starting system" "$dir/app.log" || fail "$name: the log is not in the option's file"
      [ ! -s "$dir/stderr" ] || fail "$name: standard error has: $(head -n3 "$dir/stderr")"
      [ "$defaults" -eq 0 ] || fail "$name: a log file was left in TMPDIR: $(cd "$dir" && echo *)"
      ;;
    default)
      [ "$defaults" -eq 1 ] && grep -q "Starting system" "$dir"/pappl*.log ||
        fail "$name: the log is not in the framework's default file"
      ;;
  esac
done
[ $failed -eq 0 ] && echo "The server logs to the journal under systemd, and where it is told otherwise."
exit $failed
