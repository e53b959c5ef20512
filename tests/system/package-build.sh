#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian package, as cpack builds it from the build folder, into PACKAGE_DIR (emptied first) for
# Install.Package and Install.Lintian to check.
# Usage: package-build.sh CPACK BUILD_DIR PACKAGE_DIR
set -euo pipefail
cpack=$1 build=$2 out=$3
rm -rf "$out"
mkdir -p "$out"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log"
  exit 1
}
ls "$out"/*.deb
