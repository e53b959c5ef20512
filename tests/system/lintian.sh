#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian package as a distribution would take it: lintian (its default profile) finds no error and
# no warning in the package that package-build.sh made. Exit status 77 (skipped) without lintian or
# dpkg-deb.
# Usage: lintian.sh PACKAGE_DIR
set -euo pipefail
out=$1
for tool in lintian dpkg-deb; do
  command -v "$tool" >/dev/null || {
    echo "SKIP: $tool is not installed (Debian package $tool)"
    exit 77
  }
done
status=0
report=$(lintian "$out"/*.deb 2>&1) || status=$?
# lintian's status is 1 for errors and 2 when it could not check the package at all.
if [ "$status" -gt 1 ] || grep -qE '^[EW]: ' <<<"$report"; then
  echo "FAIL: lintian (status $status):"
  echo "$report"
  exit 1
fi
echo "lintian: no errors, no warnings."
