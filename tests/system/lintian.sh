#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian package as a distribution would take it: cpack builds it from the build folder, and
# lintian (its default profile) finds no error and no warning in it. Exit status 77 (skipped) without
# lintian or dpkg-deb.
# Usage: lintian.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1 build=$2
for tool in lintian dpkg-deb; do
  command -v "$tool" >/dev/null || {
    echo "SKIP: $tool is not installed (Debian package $tool)"
    exit 77
  }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log"
  exit 1
}
status=0
report=$(lintian "$out"/*.deb 2>&1) || status=$?
# lintian's status is 1 for errors and 2 when it could not check the package at all.
if [ "$status" -gt 1 ] || grep -qE '^[EW]: ' <<<"$report"; then
  echo "FAIL: lintian (status $status):"
  echo "$report"
  exit 1
fi
echo "lintian: no errors, no warnings."
