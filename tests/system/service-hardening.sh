#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The service's systemd unit, rated by systemd itself: an overall exposure of at most 2.5 ("OK").
# Usage: service-hardening.sh SYSTEMD_ANALYZE UNIT
set -euo pipefail
out=$("$1" security --offline=yes "$2" 2>&1) || {
  echo "$out"
  exit 1
}
level=$(grep -o 'Overall exposure level for [^:]*: [0-9.]*' <<<"$out" | awk '{print $NF}')
echo "overall exposure: ${level:-none}"
awk -v level="$level" 'BEGIN { exit !(level != "" && level <= 2.5) }' || {
  echo "$out"
  exit 1
}
