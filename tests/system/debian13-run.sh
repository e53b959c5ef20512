#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# scripts/test-debian13.sh around its test command, on a small root made of this machine's programs and
# a stand-in for scripts/test.sh: which mirrors it takes from apt's sources; that a run passes the
# command's exit status on with its closing lines, gives the command the file systems the tests need,
# leaves the root as it was, and leaves no process and no folder behind, whether the command passes,
# fails, or the run is stopped. Needs root, mount namespaces and overlayfs; exits 77 (skipped) without.
# Usage: debian13-run.sh SOURCE_DIR
set -euo pipefail
source_dir=$1

[ "$(id -u)" -eq 0 ] || {
  echo "SKIP: needs root"
  exit 77
}
# Everything on a tmpfs of the test's own mount namespace (an overlay's upper folder cannot be on an
# overlay, as in the Debian 13 root itself).
if [ -z "${DEBIAN13_RUN_NS:-}" ]; then
  unshare --mount --pid --fork true 2>/dev/null || {
    echo "SKIP: no mount and PID namespaces here"
    exit 77
  }
  DEBIAN13_RUN_NS=1 exec unshare --mount --propagation private "$0" "$@"
fi
t=$(mktemp -d)
trap 'umount -l "$t" 2>/dev/null; rmdir "$t"' EXIT
mount -t tmpfs tmpfs "$t"
mkdir "$t/l" "$t/u" "$t/w" "$t/m"
mount -t overlay overlay -o "lowerdir=$t/l,upperdir=$t/u,workdir=$t/w" "$t/m" 2>/dev/null || {
  echo "SKIP: no overlayfs here"
  exit 77
}
umount "$t/m"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Which mirrors: apt folders as they come, and the two addresses expected.
mirrors() { # NAME MAIN SECURITY, the apt folder's files written by the caller in $t/apt-NAME
  local got
  got=$(LABEL_DEBIAN13_APT_DIR="$t/apt-$1" "$t/proj/scripts/test-debian13.sh" --print-mirrors | paste -sd' ')
  [ "$got" = "$2 $3" ] || fail "mirrors $1: got '$got', expected '$2 $3'"
}
mkdir -p "$t/proj/scripts"
cp "$source_dir/scripts/test-debian13.sh" "$source_dir/scripts/install-deps.sh" "$t/proj/scripts/"
for name in deb822 oneline disabled none; do mkdir -p "$t/apt-$name/sources.list.d"; done
cat >"$t/apt-deb822/sources.list.d/debian.sources" <<'EOF'
Types: deb
# http://snapshot.example/archive/debian/20250520T000000Z
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
EOF
cat >"$t/apt-oneline/sources.list" <<'EOF'
# deb http://commented.example/debian bookworm main
deb-src http://source.example/debian bookworm main
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://ftp.de.debian.org/debian/ bookworm main
deb http://security.debian.org/debian-security bookworm-security main
EOF
cat >"$t/apt-disabled/sources.list.d/a-vendor.sources" <<'EOF'
Types: deb
URIs: https://vendor.example/node_20.x
Suites: nodistro
Components: main
EOF
cat >"$t/apt-disabled/sources.list.d/debian.sources" <<'EOF'
Enabled: no
Types: deb
URIs: http://disabled.example/debian
Suites: bookworm

types: deb deb-src
uris: http://mirror.example/debian/
suites: bookworm
components: main
EOF
mirrors deb822 http://deb.debian.org/debian http://deb.debian.org/debian-security
mirrors oneline http://ftp.de.debian.org/debian http://security.debian.org/debian-security
mirrors disabled http://mirror.example/debian http://deb.debian.org/debian-security
mirrors none http://deb.debian.org/debian http://deb.debian.org/debian-security

# The root: this machine's shell and a few tools with their libraries.
root=$t/root
mkdir -p "$root"/{usr/bin,usr/lib,usr/lib64,etc,proc,sys,dev,run,tmp}
ln -s usr/bin "$root/bin"
ln -s usr/lib "$root/lib"
ln -s usr/lib64 "$root/lib64"
for tool in bash sh env cat sleep touch sed; do
  path=$(command -v "$tool")
  for f in "$path" $(ldd "$path" 2>/dev/null | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$f")"
    cp -n "$(realpath "$f")" "$root/${f#/}"
  done
  cp -n "$(realpath "$path")" "$root/usr/bin/$tool"
done
echo 13.8 >"$root/etc/debian_version"

# The stand-in for scripts/test.sh: prints what it finds, leaves a process behind, writes into the
# root, then passes, fails or waits as scripts/mode says.
token=$RANDOM$RANDOM
cat >"$t/proj/scripts/test.sh" <<EOF
#!/bin/bash
echo "stand-in: args=[\$*]"
[ -c /dev/null ] && [ -c /dev/urandom ] && [ -d /dev/pts ] && [ -w /dev/shm ] && [ -k /tmp ] &&
  [ -r /proc/self/status ] && [ -d /sys/kernel ] && echo "stand-in: file systems ok"
(exec -a debian13-left-$token sleep 1000) &
touch /etc/written-by-run
echo "Test project /src/build"
case \$(cat scripts/mode) in
  pass) echo "100% tests passed, 0 tests failed out of 3"; exit 0 ;;
  fail) echo "67% tests passed, 1 tests failed out of 3"; exit 8 ;;
  wait) echo "stand-in: waiting"; sleep 1000 ;;
esac
EOF
chmod +x "$t/proj/scripts/test.sh"

# A run: MODE, then the lines expected in its output (grep -F) and its exit status.
run() {
  local mode=$1 expected=$2 out=$t/out-$1 status=0 pid i line
  shift 2
  echo "$mode" >"$t/proj/scripts/mode"
  if [ "$mode" = wait ]; then
    LABEL_DEBIAN13_ROOT=$root LABEL_DEBIAN13_WORK=$t/work "$t/proj/scripts/test-debian13.sh" >"$out" 2>&1 &
    pid=$!
    for i in $(seq 100); do
      if grep -q 'stand-in: waiting' "$out"; then break; fi
      sleep 0.1
    done
    kill -TERM "$pid"
    wait "$pid" || status=$?
  else
    LABEL_DEBIAN13_ROOT=$root LABEL_DEBIAN13_WORK=$t/work timeout -k 5 60 "$t/proj/scripts/test-debian13.sh" \
      >"$out" 2>&1 || status=$?
  fi
  [ "$status" -eq "$expected" ] || fail "$mode: exit $status, expected $expected"
  for line in "$@"; do grep -qF -- "$line" "$out" || fail "$mode: no line '$line'"; done
  for _ in $(seq 50); do
    pgrep -f "debian13-left-$token" >/dev/null || break
    sleep 0.1
  done
  ! pgrep -f "debian13-left-$token" >/dev/null || fail "$mode: a process of the run is still there"
  [ -z "$(ls -A "$t/work")" ] || fail "$mode: the run's folder is still there: $(ls "$t/work")"
  [ ! -e "$root/etc/written-by-run" ] || fail "$mode: the run wrote into the root"
  [ "$failures" -eq 0 ] || cat "$out"
}
run pass 0 'stand-in: args=[--release]' 'stand-in: file systems ok' \
  '==> debian13: PASSED: scripts/test.sh --release in a Debian 13 root (Debian 13.8' \
  '    build: 100% tests passed, 0 tests failed out of 3'
run fail 8 '==> debian13: FAILED (exit 8): scripts/test.sh --release' \
  '    build: 67% tests passed, 1 tests failed out of 3'
run wait 143 '==> debian13: STOPPED (exit 143): scripts/test.sh --release'

[ "$failures" -eq 0 ] && echo "debian13-run: every case passed"
[ "$failures" -eq 0 ]
