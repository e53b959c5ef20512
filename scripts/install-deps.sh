#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need, when any is missing.
# Runs unattended (CI has no standard input); needs root, or sudo, to install.
set -euo pipefail

packages=(
  build-essential cmake libcups2-dev libcupsimage2-dev libgtest-dev libpng-dev
  ghostscript
)

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
