#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# cupstestppd on a generated PPD file, with the built filter laid out where the PPD names it (the
# scheduler's filter folder under a private root), so the filter's presence and mode are checked too.
# Usage: ppd-conformance.sh FILTER SERVERBIN PPD
set -euo pipefail
filter=$1 serverbin=$2 ppd=$3

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
install -D -m 0755 "$filter" "$root$serverbin/filter/rastertoxxx"

# Warnings are allowed (the size keywords are numbers, not the standard names); a failure is not.
report=$(cupstestppd -R "$root" "$ppd" 2>&1) || {
  echo "$report"
  exit 1
}
echo "$report"
grep -q ': PASS$' <<<"$report"
