#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every test carries exactly one of the labels 'unit' and 'system', so that 'ctest -L unit' and
# 'ctest -L system' together run each test once and neither set leaves one out.
# Usage: test-labels.sh CTEST BUILD_DIR
set -euo pipefail
ctest=$1 build=$2

# 'count()' - the number of tests that ctest lists with the given selection.
count() {
  "$ctest" --test-dir "$build" -N "$@" | sed -n 's/^Total Tests: //p'
}

all=$(count)
unit=$(count -L '^unit$')
system=$(count -L '^system$')
unlabelled=$(count -LE '^(unit|system)$')
echo "$all tests: $unit unit, $system system, $unlabelled with neither label"
if [ "$unlabelled" -ne 0 ]; then
  echo "FAIL: tests without a label:"
  "$ctest" --test-dir "$build" -N -LE '^(unit|system)$' | grep 'Test *#'
  exit 1
fi
[ $((unit + system)) -eq "$all" ] || {
  echo "FAIL: some tests carry both labels"
  exit 1
}
