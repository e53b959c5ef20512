#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian package that package-build.sh made holds the filter, the PPD files and, when built, the
# Printer Application and its systemd unit and the label preview, with their manual pages, the
# copyright file, and the libraries they need declared.
# Usage: package.sh PACKAGE_DIR BUILD_DIR WITH_APP(ON|OFF) SERVERBIN DATADIR PPD_NAME...
set -euo pipefail
out=$1 build=$2 with_app=$3 serverbin=${4#/} datadir=${5#/}
shift 5
deb=$(ls "$out"/*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
depends=$(dpkg-deb -f "$deb" Depends)
status=0
expect_file() {
  if ! grep -qx "\./$1" <<<"$contents"; then
    echo "missing from the package: /$1"
    status=1
  fi
}
expect_depends() {
  if ! grep -q "$1" <<<"$depends"; then
    echo "not among the declared dependencies ($depends): $1"
    status=1
  fi
}
expect_file "$serverbin/filter/rastertoxxx"
for ppd in "$@"; do expect_file "$datadir/model/$ppd"; done
expect_file usr/share/man/man8/rastertoxxx.8.gz
expect_file usr/share/doc/label-printer-support/copyright
expect_depends libcups2
expect_depends libcupsimage2
if [ "$with_app" = ON ]; then
  expect_file usr/bin/label-printer-app
  expect_file usr/lib/systemd/system/label-printer-app.service
  expect_file usr/libexec/label-printer-app/label-pdf-render
  expect_depends libpoppler-cpp
  expect_depends libpappl1
  expect_file usr/share/man/man8/label-printer-app.8.gz
fi
if [ -x "$build/labelpreview" ]; then
  expect_file usr/bin/labelpreview
  expect_file usr/share/man/man1/labelpreview.1.gz
fi
exit $status
