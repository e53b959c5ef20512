#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build, the tests and the demonstration need, when any is missing.
# Runs unattended (CI has no standard input); needs root, or sudo, to install. With --list it only
# prints the packages, one a line (scripts/test-debian13.sh builds its Debian 13 root with them).
set -euo pipefail

packages=(
  # The core: the library, the filter, pbmtoraster, the label preview (its images compressed with zlib,
  # which libcupsimage2-dev brings as well) and their tests.
  build-essential cmake libcups2-dev libcupsimage2-dev libgtest-dev zlib1g-dev
  # pkg-config for the test of finding CUPS through its module.
  pkg-config
  # The print system the filter runs in: the scheduler, lp and lpadmin, cupsfilter, the filters that
  # turn PDF into raster, the PPD compiler and checker; Ghostscript and poppler render PDF.
  cups cups-client cups-daemon cups-filters cups-ppdc ghostscript poppler-utils
  # The Printer Application's framework, and ipptool with its conformance tests; systemd-analyze rates
  # its service's sandbox; libpng and libjpeg read PNG and JPEG documents (libpng also reads the
  # preview's images once more in the tests); poppler renders PDF labels and libseccomp confines its
  # renderer; zint draws and zbar reads the test labels' barcodes; libzint, FreeType and fontconfig draw
  # the test label; libcrypt hashes the administrator password; headless Chromium through chromedriver
  # drives the web pages in the tests.
  libpappl-dev cups-ipp-utils systemd libpng-dev libpoppler-cpp-dev libzint-dev libfreetype-dev libfontconfig-dev fonts-dejavu-core chromium chromium-driver python3 libjpeg-dev libseccomp-dev zint zbar-tools libcrypt-dev
  # DNS-SD as phones and CUPS see it: the test runs D-Bus and avahi-daemon in network namespaces of its
  # own (installing avahi-daemon on a machine with systemd starts it there too).
  dbus-daemon avahi-daemon avahi-utils iproute2
  # The Debian package: dpkg-shlibdeps lists its libraries, lintian checks it as Debian would.
  dpkg-dev lintian
)

if [ "${1:-}" = --list ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
