#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything with warnings as errors and runs every test, the unit and the system ones, once in a
# Release build (the optimiser's warnings included, as users build it) and once under AddressSanitizer
# and UndefinedBehaviorSanitizer. LABEL_REQUIRE_ALL makes configure fail rather than leave out a part
# whose tools are missing. With --release it stops after the Release build's tests (scripts/test-debian13.sh
# runs it so in its Debian 13 root).
set -euo pipefail
cd "$(dirname "$0")/.."

release_only=false
case "${1:-}" in
  "") ;;
  --release) release_only=true ;;
  *)
    echo "usage: $0 [--release]" >&2
    exit 2
    ;;
esac

scripts/install-deps.sh
jobs=$(nproc)
# The system tests mostly wait on servers, printers, timers and browsers (a quarter of their time is the
# processor's): six run for each core, the longest started first (tests/costs.cmake).
tests=$((6 * jobs))

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLABEL_WERROR=ON -DLABEL_REQUIRE_ALL=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$tests"
$release_only && exit 0

cmake -S . -B build-asan -DLABEL_WERROR=ON -DLABEL_SANITIZE=ON -DLABEL_REQUIRE_ALL=ON
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$tests"
