#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configure leaves out each optional part whose library is missing, says so in one line, and fails
# instead with LABEL_REQUIRE_ALL; the core builds and works with every optional library missing.
#
# A library is hidden with -DCMAKE_DISABLE_FIND_PACKAGE_<Name>=ON, as if its headers were not there.
# One folder, configured first with nothing hidden, is configured again for each library in turn (a
# fresh folder per case would cost twice the time and find nothing more: a hidden library's module is
# not run at all, so what the cache holds from earlier cases cannot make it found). Configure's
# "Skipped:" lines are compared with those of the first configure: the parts that depend on the library
# are named, with the library among what was not found, and no other part goes. Configured once more
# with LABEL_REQUIRE_ALL, configure must fail. A case whose part the machine leaves out anyway is
# skipped (exit 77 once the others have passed).
#
# Then the core alone: every optional library hidden, their headers replaced by ones that stop the
# compiler (so that a core source including one fails even where the library is installed), the
# filter, pbmtoraster, labelpreview and the tests' PNG reader built with warnings as errors in
# WORK/core, which is kept between runs so that a later run builds only what changed. Its filter and
# preview must write what this build's write, byte for byte.
#
# Usage: optional-parts.sh CMAKE SOURCE_DIR WORK PPD RASTERTOXXX PBMTORASTER LABELPREVIEW|none
set -uo pipefail
cmake=$1 source=$2 work=$3 ppd=$4 rastertoxxx=$5 pbmtoraster=$6 labelpreview=$7

mkdir -p "$work" && work=$(cd "$work" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

app="the Printer Application label-printer-app and its tests"
pdf="PDF documents in the Printer Application (label-pdf-render)"
filter="the PDF renderer's system-call filter"
app_tests="the Printer Application's system tests"
preview="the label preview labelpreview and its tests"

# package name | what the summary calls it | the parts left out, the first of them for want of it
cases=(
  "PNG|libpng|$app"
  "JPEG|libjpeg|$app"
  "Freetype|FreeType|$app"
  "Fontconfig|fontconfig|$app"
  "Zint|libzint|$app"
  "Crypt|libcrypt|$app"
  "PAPPL|PAPPL|$app"
  "PopplerCpp|poppler's C++ interface|$pdf;$app_tests"
  "Seccomp|libseccomp|$filter"
  "ZLIB|zlib|$preview;$app"
)
core_hidden="PNG JPEG Freetype Fontconfig Zint Crypt PAPPL PopplerCpp Seccomp"

# 'skipped()' - the "Skipped:" lines of a configure log.
skipped() { grep -E '^-- Skipped: ' "$1" | sort; }

# CUPS is found without cups-config where that works (as for CUPS 2.5, through pkg-config or the headers):
# a configure runs cups-config four times, which is more than half of what configuring again takes,
# and how CUPS is found is Build.CupsDiscovery's to check.
tree=$scratch/tree
cups=(-DLABEL_CUPS_CONFIG=/nonexistent/cups-config)
"$cmake" -S "$source" -B "$tree" "${cups[@]}" >"$scratch/baseline.log" 2>&1 || {
  cups=()
  rm -rf "$tree"
  "$cmake" -S "$source" -B "$tree" >"$scratch/baseline.log" 2>&1
} || {
  echo "FAIL: configure with nothing hidden failed"
  tail -n 20 "$scratch/baseline.log"
  exit 1
}
skipped "$scratch/baseline.log" >"$scratch/baseline.skipped"

failed=0 skipped_cases=0
for c in "${cases[@]}"; do
  IFS='|' read -r name missing parts <<<"$c"
  IFS=';' read -r -a parts <<<"$parts"
  log=$scratch/$name
  if grep -qF -- "-- Skipped: ${parts[0]} (" "$scratch/baseline.skipped" ||
    { [ "${parts[0]}" = "$pdf" ] && grep -qF -- "-- Skipped: $app (" "$scratch/baseline.skipped"; } ||
    { [ "${parts[0]}" = "$filter" ] && grep -qF -- "-- Skipped: $pdf (" "$scratch/baseline.skipped"; }; then
    echo "SKIP: $name hidden: '${parts[0]}' is left out here anyway"
    skipped_cases=1
    continue
  fi
  "$cmake" -S "$source" -B "$tree" -U 'CMAKE_DISABLE_FIND_PACKAGE_*' -DCMAKE_DISABLE_FIND_PACKAGE_"$name"=ON \
    -DLABEL_REQUIRE_ALL=OFF >"$log.log" 2>&1
  status=$?
  "$cmake" -S "$source" -B "$tree" -DLABEL_REQUIRE_ALL=ON >"$log.required.log" 2>&1
  required_status=$?
  problems=()
  if [ $status -ne 0 ]; then
    problems+=("configure failed: $(grep -m1 -A3 'Error' "$log.log" | tr '\n' ' ')")
  else
    lines=$(skipped "$log.log")
    first=$(grep -F -- "-- Skipped: ${parts[0]} (" <<<"$lines")
    if [ -z "$first" ] || ! grep -qF -- "$missing" <<<"${first%%not found*}"; then
      problems+=("no line 'Skipped: ${parts[0]} (... $missing ... not found ...)'")
    fi
    for part in "${parts[@]:1}"; do
      grep -qF -- "-- Skipped: $part (" <<<"$lines" || problems+=("'$part' is not left out")
    done
    # Any line the baseline does not have belongs to one of the parts expected to go.
    while IFS= read -r line; do
      [ -n "$line" ] || continue
      known=0
      for part in "${parts[@]}"; do
        [[ "$line" == "-- Skipped: $part ("* ]] && known=1
      done
      [ $known -eq 1 ] || problems+=("left out as well: ${line#-- Skipped: }")
    done < <(comm -13 "$scratch/baseline.skipped" - <<<"$lines")
  fi
  if [ $required_status -eq 0 ] ||
    ! grep -q "LABEL_REQUIRE_ALL is set and parts are missing" "$log.required.log"; then
    problems+=("configure with LABEL_REQUIRE_ALL did not fail")
  fi
  if [ ${#problems[@]} -eq 0 ]; then
    echo "ok: $name hidden: $(grep -F -- "-- Skipped: ${parts[0]} (" "$log.log")"
  else
    failed=1
    for problem in "${problems[@]}"; do echo "FAIL: $name hidden: $problem"; done
  fi
done

# The core alone, in a folder kept between runs.
hidden_headers=$work/hidden-headers
for header in png.h jpeglib.h ft2build.h fontconfig/fontconfig.h zint.h pappl/pappl.h poppler/cpp/poppler-document.h seccomp.h; do
  mkdir -p "$(dirname "$hidden_headers/$header")"
  printf '#error "%s belongs to a library the core does without"\n' "$header" >"$hidden_headers/$header"
done
options=("${cups[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DLABEL_WERROR=ON
  "-DCMAKE_C_FLAGS=-I$hidden_headers" "-DCMAKE_CXX_FLAGS=-I$hidden_headers")
for name in $core_hidden; do options+=("-DCMAKE_DISABLE_FIND_PACKAGE_$name=ON"); done
core=$work/core
if ! "$cmake" -S "$source" -B "$core" "${options[@]}" >"$scratch/core.log" 2>&1; then
  echo "FAIL: the core alone does not configure"
  tail -n 20 "$scratch/core.log"
  exit 1
fi
if grep -qF -- "-- Skipped: $preview (" "$scratch/core.log" && ! grep -qF -- "-- Skipped: $preview (" "$scratch/baseline.skipped"; then
  echo "FAIL: the core alone leaves out labelpreview"
  failed=1
fi
targets=(rastertoxxx pbmtoraster)
[ "$labelpreview" = none ] || targets+=(labelpreview test_png)
if ! "$cmake" --build "$core" -j"$(nproc)" --target "${targets[@]}" >"$scratch/core-build.log" 2>&1; then
  echo "FAIL: the core alone does not build"
  grep -E -m 10 -B2 -A3 'error' "$scratch/core-build.log"
  exit 1
fi
echo "ok: the core alone builds: ${targets[*]}"

# Two labels of dots and gaps through both builds' programs.
same=1
printf 'P4\n16 3\n\xF0\x0F\x81\x81\x0F\xF0P4\n9 2\n\xAA\x80\x55\x00' >"$scratch/labels.pbm"
"$pbmtoraster" -r 203 "$scratch/labels.pbm" >"$scratch/labels.ras" || exit 1
PPD=$ppd "$rastertoxxx" 1 user title 1 "" "$scratch/labels.ras" >"$scratch/full.prn" 2>/dev/null
PPD=$ppd "$core/rastertoxxx" 1 user title 1 "" "$scratch/labels.ras" >"$scratch/core.prn" 2>/dev/null
"$core/pbmtoraster" -r 203 "$scratch/labels.pbm" | cmp -s - "$scratch/labels.ras" ||
  { echo "FAIL: the core alone's pbmtoraster writes another raster"; same=0; }
if [ ! -s "$scratch/full.prn" ] || ! cmp -s "$scratch/full.prn" "$scratch/core.prn"; then
  echo "FAIL: the core alone's filter writes other printer data"
  same=0
fi
if [ "$labelpreview" != none ]; then
  "$labelpreview" -d "$scratch/full" "$scratch/full.prn" >/dev/null
  "$core/labelpreview" -d "$scratch/core" "$scratch/full.prn" >/dev/null
  if [ ! -s "$scratch/full/label-0002.png" ] || ! diff -r "$scratch/full" "$scratch/core" >/dev/null; then
    echo "FAIL: the core alone's labelpreview draws other images"
    same=0
  fi
fi
if [ $same -eq 1 ]; then
  echo "ok: the core alone's programs write what this build's write"
else
  failed=1
fi

[ $failed -eq 0 ] || exit 1
[ $skipped_cases -eq 0 ] || exit 77
