#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The one door to the framework: the program's list of the functions it stands before and of the
# internal ones it calls is the program's own symbols, and the program refuses to start, naming the
# function and the framework's version, when one of them is missing (a preloaded library hides it).
#   framework-door.sh PROGRAM DOOR-SOURCE HIDING-LIBRARY SANITIZED
# Under the sanitizers only the lists are checked: their runtime looks its own functions up through
# dlsym() as it starts, before a preloaded library's can answer it.
set -euo pipefail
program=$1 source=$2 hider=$3 sanitized=${4:-OFF}
listed() { sed -n "/$1\\[\\] = {/,/^};/p" "$source" | grep -o '"[^"]*"' | tr -d '"' | sort; }
defined=$(nm -D --defined-only "$program" | awk '{print $3}' | grep -E '^(pappl|_pappl|cups|ipp|http|avahi)' | sort)
internal=$(nm -D --undefined-only "$program" | awk '{print $2}' | grep -E '^_pappl' | sort)
status=0
if [ "$defined" != "$(listed kStoodBefore)" ]; then
  echo "FAIL: the functions the program stands before differ from kStoodBefore:"
  diff <(echo "$defined") <(listed kStoodBefore) || true
  status=1
fi
if [ "$internal" != "$(listed kInternals)" ]; then
  echo "FAIL: the framework's internal functions the program calls differ from kInternals:"
  diff <(echo "$internal") <(listed kInternals) || true
  status=1
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
hide=(_papplJobCreate papplClientIsAuthorized _papplPrinterCheckJobs)
[ "$sanitized" = ON ] && hide=()
for hidden in "${hide[@]}"; do
  for command in server printers; do
    set +e
    out=$(env HOME="$home" TMPDIR="$home" SNAP_COMMON="$home" XDG_CONFIG_HOME="$home" LD_PRELOAD="$hider" \
      ASAN_OPTIONS=verify_asan_link_order=0 LABEL_HIDDEN_SYMBOL="$hidden" timeout 20 "$program" "$command" \
      -o server-port=1 2>&1)
    code=$?
    set -e
    if [ "$code" -ne 1 ] || ! grep -q "has no '$hidden'" <<<"$out" || ! grep -qE 'PAPPL it runs with \([0-9]+\.[0-9]+' <<<"$out"; then
      echo "FAIL: '$command' without $hidden: exit $code: $out"
      status=1
    fi
  done
done
[ "$status" -eq 0 ] && echo "ok: the door's lists match the program, and it refuses a framework without one of them"
exit "$status"
