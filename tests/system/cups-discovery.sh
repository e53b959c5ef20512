#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configure finds CUPS each of its three ways and reports the folders of the way it took: a cups-config
# (a fake one naming its own folders), pkg-config's cups module with and without folder variables (fake
# modules in a private search path), and neither (the usual folders). A cups-config that fails is passed
# over, and folders set on the command line win. Each case configures in a fresh folder and reads both
# the summary line and build/cups-folders.txt: the first case the whole project, the others a project
# of just the two files at work (cmake/LabelCups.cmake, which finds CUPS, and cmake/LabelParts.cmake,
# whose summary reports it), which configures in about a third of the time. Cases that need pkg-config
# are skipped without it (exit 77 once the others have passed).
# Usage: cups-discovery.sh CMAKE SOURCE_DIR
set -uo pipefail
cmake=$1 source=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A cups-config as CUPS up to 2.4 ships it, naming folders no real installation has.
mkdir -p "$work/bin" "$work/pc-none" "$work/pc-25" "$work/pc-debian"
cat >"$work/bin/cups-config" <<'EOF'
#!/bin/sh
case "$1" in
--serverbin) echo /opt/fake-cc/lib/cups ;;
--datadir) echo /opt/fake-cc/share/cups ;;
--cflags | --ldflags) echo ;;
*) exit 1 ;;
esac
EOF
printf '#!/bin/sh\nexit 1\n' >"$work/bin/broken-cups-config"
chmod +x "$work/bin/cups-config" "$work/bin/broken-cups-config"

# A module as CUPS 2.5 installs it, with its folders as variables.
cat >"$work/pc-25/cups.pc" <<'EOF'
prefix=/opt/fake-pc
exec_prefix=${prefix}
datadir=${prefix}/share
cups_serverbin=${exec_prefix}/libexec/cups
cups_datadir=${datadir}/cups-data
Name: cups
Description: CUPS API Library
Version: 2.5.0
Libs: -lcups
Cflags:
EOF
# A module without folder variables or prefix, as Debian's own packages of CUPS 2.4 install it.
cat >"$work/pc-debian/cups.pc" <<'EOF'
Name: cups
Description: cups application integration library
Version: 2.4.20
Cflags:
Libs: -lcups
EOF

# The project of the two files, which it includes as the whole project does.
mkdir -p "$work/probe"
cat >"$work/probe/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.20)
project(cupsprobe LANGUAGES C)
include("$source/cmake/LabelCups.cmake")
include("$source/cmake/LabelParts.cmake")
label_summary()
EOF

have_pkg_config=0
command -v pkg-config >/dev/null && have_pkg_config=1

# name | pkg-config folder | cmake options | expected: way serverbin datadir system-serverbin
cases=(
  "cups-config|none|-DLABEL_CUPS_CONFIG=$work/bin/cups-config|cups-config /opt/fake-cc/lib/cups /opt/fake-cc/share/cups /opt/fake-cc/lib/cups"
  "cups-config beside a module|25|-DLABEL_CUPS_CONFIG=$work/bin/cups-config|cups-config /opt/fake-cc/lib/cups /opt/fake-cc/share/cups /opt/fake-cc/lib/cups"
  "folders set on the command line|none|-DLABEL_CUPS_CONFIG=$work/bin/cups-config -DLABEL_CUPS_SERVERBIN=/srv/bin -DLABEL_CUPS_DATADIR=/srv/data|cups-config /srv/bin /srv/data /opt/fake-cc/lib/cups"
  "module with folder variables|25|-DLABEL_CUPS_CONFIG=/nonexistent/cups-config|pkg-config /opt/fake-pc/libexec/cups /opt/fake-pc/share/cups-data /opt/fake-pc/libexec/cups"
  "module without folder variables|debian|-DLABEL_CUPS_CONFIG=/nonexistent/cups-config|pkg-config /usr/lib/cups /usr/share/cups /usr/lib/cups"
  "cups-config that fails, then a module|25|-DLABEL_CUPS_CONFIG=$work/bin/broken-cups-config|pkg-config /opt/fake-pc/libexec/cups /opt/fake-pc/share/cups-data /opt/fake-pc/libexec/cups"
  "headers alone|none|-DLABEL_CUPS_CONFIG=/nonexistent/cups-config|headers /usr/lib/cups /usr/share/cups /usr/lib/cups"
  "cups-config that fails, nothing else|none|-DLABEL_CUPS_CONFIG=$work/bin/broken-cups-config|headers /usr/lib/cups /usr/share/cups /usr/lib/cups"
)

failed=0 skipped=0 n=0
for c in "${cases[@]}"; do
  IFS='|' read -r name pc options expected <<<"$c"
  read -r way serverbin datadir system_serverbin <<<"$expected"
  if [ "$pc" != none ] && [ $have_pkg_config -eq 0 ]; then
    echo "SKIP: $name (pkg-config not found)"
    skipped=1
    continue
  fi
  n=$((n + 1))
  build="$work/build-$n"
  project=$work/probe
  [ $n -eq 1 ] && project=$source
  # shellcheck disable=SC2086 # the options are words
  log=$(env -u PKG_CONFIG_PATH PKG_CONFIG_LIBDIR="$work/pc-$pc" \
    "$cmake" -S "$project" -B "$build" -DLABEL_TESTS=OFF $options 2>&1)
  status=$?
  report="CUPS found through $way: filter folder $serverbin/filter, PPD folder $datadir/model"
  folders=$(printf 'found_by=%s\nsystem_serverbin=%s\nserverbin=%s\ndatadir=%s\n' \
    "$way" "$system_serverbin" "$serverbin" "$datadir")
  written=$(grep -E '^(found_by|system_serverbin|serverbin|datadir)=' "$build/cups-folders.txt" 2>/dev/null)
  if [ $status -ne 0 ]; then
    echo "FAIL: $name: configure failed"
    echo "$log" | tail -n 20
    failed=1
  elif ! grep -qxF -- "-- $report" <<<"$log"; then
    echo "FAIL: $name: configure did not report '$report'"
    grep -- '-- CUPS' <<<"$log"
    failed=1
  elif [ "$written" != "$folders" ]; then
    echo "FAIL: $name: cups-folders.txt holds"
    echo "$written"
    failed=1
  else
    echo "ok: $name: $report"
  fi
  rm -rf "$build"
done

[ $failed -eq 0 ] || exit 1
[ $skipped -eq 0 ] || exit 77
