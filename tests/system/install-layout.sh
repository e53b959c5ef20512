#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# 'cmake --install' into a staging root through DESTDIR: the filter lands in the scheduler's filter
# folder with mode 0755 (owned by root when root installs), the PPD files in its model folder, the
# Printer Application (when built, APP is ON) in PREFIX/bin with its systemd unit and its PDF renderer in
# PREFIX/libexec/label-printer-app, the label preview (when built) in PREFIX/bin, the manual pages of
# the installed programs, compressed, in PREFIX/share/man, and nothing else is installed; the
# installed PPD files find the installed filter.
# Usage: install-layout.sh CMAKE BUILD_DIR SERVERBIN DATADIR APP PREFIX PPD...
set -euo pipefail
cmake=$1 build=$2 serverbin=$3 datadir=$4 app=$5 prefix=$6
shift 6

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" "$cmake" --install "$build" >/dev/null

failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

filter="$stage$serverbin/filter/rastertoxxx"
expected=("$filter")
if [ -f "$filter" ]; then
  [ "$(stat -c %a "$filter")" = 755 ] || fail "filter mode is $(stat -c %a "$filter"), not 755"
  [ "$(id -u)" -ne 0 ] || [ "$(stat -c %u "$filter")" = 0 ] || fail "filter is not owned by root"
  # It is the filter itself: called wrongly, it answers with its usage line.
  usage=$("$filter" 2>&1 >/dev/null) && fail "filter without arguments succeeded"
  [ "$usage" = "ERROR: rastertoxxx job-id user title copies options [file]" ] ||
    fail "filter answered: $usage"
else
  fail "no filter at $filter"
fi

for ppd in "$@"; do
  installed="$stage$datadir/model/$ppd"
  expected+=("$installed")
  if [ -f "$installed" ]; then
    [ "$(stat -c %a "$installed")" = 644 ] || fail "$ppd mode is $(stat -c %a "$installed"), not 644"
    head -n1 "$installed" | grep -q '^\*PPD-Adobe:' || fail "$ppd is not a PPD file"
    # The filter the installed PPD names is where it was installed, and the scheduler would run it.
    cupstestppd -q -R "$stage" "$installed" 2>/dev/null || fail "cupstestppd fails $ppd in the installed tree"
  else
    fail "no PPD at $installed"
  fi
done

if [ "$app" = ON ]; then
  expected+=("$stage$prefix/bin/label-printer-app" "$stage$prefix/lib/systemd/system/label-printer-app.service")
  [ -x "$stage$prefix/bin/label-printer-app" ] || fail "the application is not executable"
  if [ -x "$build/app/label-pdf-render" ]; then
    expected+=("$stage$prefix/libexec/label-printer-app/label-pdf-render")
    [ -x "$stage$prefix/libexec/label-printer-app/label-pdf-render" ] || fail "the PDF renderer is not executable"
  fi
fi

if [ -x "$build/labelpreview" ]; then
  expected+=("$stage$prefix/bin/labelpreview" "$stage$prefix/share/man/man1/labelpreview.1.gz")
  [ -x "$stage$prefix/bin/labelpreview" ] || fail "the label preview is not executable"
fi
[ "$app" != ON ] || expected+=("$stage$prefix/share/man/man8/label-printer-app.8.gz")
expected+=("$stage$prefix/share/man/man8/rastertoxxx.8.gz")
# Each manual page is one a reader can read: a gzip-compressed roff page with its name.
for page in "$stage$prefix"/share/man/man*/*; do
  gzip -dc "$page" 2>/dev/null | grep -q "^\.TH $(basename "$page" | cut -d. -f1 | tr a-z- A-Z-) " ||
    fail "$page is not a compressed manual page"
done

# Nothing but those files.
found=$(find "$stage" -type f | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$found" = "$wanted" ] || fail "installed files differ: $(diff <(echo "$wanted") <(echo "$found") | grep '^[<>]')"

[ $failed -eq 0 ] && echo "Installed layout is as the scheduler expects."
exit $failed
