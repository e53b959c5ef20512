#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the test command, scripts/test.sh, on Debian 13 (trixie): in a Debian 13 root that mmdebstrap
# makes from the mirrors this machine's apt uses, on a copy of the source tree. By default it runs the
# Release build with warnings as errors and its tests (scripts/test.sh --release); --all runs the
# sanitizer build as well. The root is kept in a cache folder and made anew once it is a week old or the
# package list of scripts/install-deps.sh changes; each run works on an overlay of it, so the cached
# root stays as it was made. The run's mounts live in a mount namespace of their own and its processes
# in a PID namespace of their own: when the run ends, however it ends, the kernel ends every process
# and drops every mount, and the run's folder is removed.
#
#   scripts/test-debian13.sh [--all] [--refresh] [--keep] [--print-mirrors]
#     --all            the sanitizer build too (about twice as long)
#     --refresh        make the root anew even when the cached one is recent
#     --keep           keep the run's folder (the source copy with its builds, the log) and say where
#     --print-mirrors  print the Debian and security archives it would make the root from, and stop
#
# Needs root (or sudo), Linux mount and PID namespaces, overlayfs, and Debian's package registry; it
# installs mmdebstrap when missing. The environment may choose:
#   LABEL_DEBIAN13_CACHE         the cache folder (default /var/cache/label-debian13)
#   LABEL_DEBIAN13_MAX_AGE_DAYS  the age in days at which the cached root is made anew (default 7)
#   LABEL_DEBIAN13_ROOT          a root to use as it is, instead of the cached one
#   LABEL_DEBIAN13_WORK          where the run's folder goes (default /var/tmp; not an overlay)
#   LABEL_DEBIAN13_APT_DIR       the apt folder whose sources name the mirrors (default /etc/apt)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

suite=trixie
# Raise this when the recipe of the root below changes, so that cached roots are made anew.
recipe=1

builds=--release
refresh=false
keep=false
print_mirrors=false
for arg in "$@"; do
  case "$arg" in
    --all) builds="" ;;
    --refresh) refresh=true ;;
    --keep) keep=true ;;
    --print-mirrors) print_mirrors=true ;;
    *)
      echo "usage: $0 [--all] [--refresh] [--keep] [--print-mirrors]" >&2
      exit 2
      ;;
  esac
done

say() { printf '==> debian13: %s\n' "$*"; }

# The mirrors as this machine's apt reaches them: the first Debian archive and the first security
# archive among its enabled sources (deb822 .sources files and one-line .list files alike). A Debian
# archive is one that serves a Debian suite; other repositories (a vendor's "nodistro", say) are passed
# over. Without one, Debian's own addresses.
apt_dir=${LABEL_DEBIAN13_APT_DIR:-/etc/apt}
apt_entries() {
  local f
  for f in "$apt_dir"/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
      {
        types = ""; uris = ""; suites = ""; enabled = "yes"
        for (i = 1; i <= NF; i++) {
          line = $i
          if (line ~ /^[ \t]*#/) continue
          key = tolower(line); sub(/:.*/, "", key)
          value = line; sub(/^[^:]*:[ \t]*/, "", value)
          if (key == "types") types = value
          else if (key == "uris") uris = value
          else if (key == "suites") suites = value
          else if (key == "enabled") enabled = tolower(value)
        }
        if (enabled == "no" || types !~ /(^|[ \t])deb([ \t]|$)/) next
        n = split(uris, u, /[ \t]+/); m = split(suites, s, /[ \t]+/)
        for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) if (u[i] != "" && s[j] != "") print u[i], s[j]
      }' "$f"
  done
  for f in "$apt_dir"/sources.list "$apt_dir"/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" && NF >= 3 { print $2, $3 }'
  done
}
debian_suites='^(oldoldstable|oldstable|stable|testing|unstable|sid|experimental|buster|bullseye|bookworm|trixie|forky|duke)'
main_uri=$(apt_entries | awk -v re="$debian_suites(-updates|-backports)?\$" '$2 ~ re { print $1; exit }')
security_uri=$(apt_entries | awk -v re="$debian_suites-security\$" '$2 ~ re { print $1; exit }')
main_uri=${main_uri:-http://deb.debian.org/debian}
security_uri=${security_uri:-http://deb.debian.org/debian-security}
main_uri=${main_uri%/}
security_uri=${security_uri%/}
if $print_mirrors; then
  printf '%s\n%s\n' "$main_uri" "$security_uri"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=LABEL_DEBIAN13_CACHE,LABEL_DEBIAN13_MAX_AGE_DAYS,LABEL_DEBIAN13_ROOT,LABEL_DEBIAN13_WORK,LABEL_DEBIAN13_APT_DIR,CI \
    "$0" "$@"
fi

if [ -n "${LABEL_DEBIAN13_ROOT:-}" ]; then
  root=$(realpath "$LABEL_DEBIAN13_ROOT")
  [ -x "$root/bin/bash" ] || {
    say "no root at $root (LABEL_DEBIAN13_ROOT)" >&2
    exit 1
  }
  say "using the root $root"
else
  # The host's tools: mmdebstrap from Debian; unshare, chroot, flock and tar come with every Debian.
  if ! command -v mmdebstrap >/dev/null; then
    say "installing mmdebstrap"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends mmdebstrap
  fi

  mapfile -t packages < <(scripts/install-deps.sh --list)
  # The root holds what scripts/test.sh installs, so that a run on a cached root needs no download;
  # netbase gives it /etc/hosts with localhost.
  include=$(printf '%s,' netbase "${packages[@]}")
  include=${include%,}

  cache=${LABEL_DEBIAN13_CACHE:-/var/cache/label-debian13}
  max_age_days=${LABEL_DEBIAN13_MAX_AGE_DAYS:-7}
  key=$(printf '%s\n' "recipe $recipe" "$suite" "$main_uri" "$security_uri" "${packages[@]}" | sha256sum | cut -c1-16)
  root=$cache/$key/root
  stamp=$cache/$key/made
  mkdir -p "$cache"

  # Runs that use a root hold a shared lock; one that makes or replaces a root holds it alone, so that
  # no root is removed under a run.
  exec 9>"$cache/lock"
  flock -s 9

  fresh() {
    [ -f "$stamp" ] && [ -x "$root/bin/bash" ] || return 1
    local made now
    made=$(cat "$stamp")
    now=$(date +%s)
    [ $((now - made)) -lt $((max_age_days * 86400)) ]
  }

  make_root() {
    local new=$cache/$key/root.new started=$SECONDS
    mkdir -p "$cache/$key"
    rm -rf --one-file-system "$new"
    say "making the Debian 13 root in $root from $main_uri and $security_uri"
    # Check-Valid-Until off as in this machine's apt: a mirror that serves a snapshot serves Release
    # files past their validity. mmdebstrap leaves out Recommends, as scripts/install-deps.sh does. Its
    # mounts in the new root are made in a mount namespace of their own, so that none outlives it.
    if ! unshare --mount --propagation private --fork --kill-child \
      mmdebstrap --variant=apt --mode=root --format=directory \
      --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Retries "3"' \
      --include="$include" \
      "$suite" "$new" \
      "deb $main_uri $suite main" "deb $main_uri $suite-updates main" "deb $security_uri $suite-security main"; then
      rm -rf --one-file-system "$new"
      return 1
    fi
    rm -rf --one-file-system "$root"
    mv "$new" "$root"
    date +%s >"$stamp"
    say "made the root in $((SECONDS - started)) s ($(du -sh "$root" | cut -f1))"
  }

  if $refresh || ! fresh; then
    flock -u 9
    flock -n -x 9 || {
      say "waiting for the other runs on the cache to end"
      flock -x 9
    }
  fi
  # Another run may have made it meanwhile.
  if $refresh || ! fresh; then
    if ! make_root; then
      if [ -x "$root/bin/bash" ]; then
        say "WARNING: could not make the root anew; using the one made $(date -d "@$(cat "$stamp" 2>/dev/null || echo 0)" +%F)"
      else
        say "could not make the Debian 13 root" >&2
        exit 1
      fi
    fi
    # Roots of other keys (an older package list or recipe) go.
    for old in "$cache"/*/; do
      [ "${old%/}" = "$cache/$key" ] || rm -rf --one-file-system "${old%/}"
    done
  else
    say "using the cached root $root (made $(date -d "@$(cat "$stamp")" '+%F %R'))"
  fi
  flock -s 9
fi

# The run's folder: the overlay's upper and work folders and its mount point. The source copy and its
# builds go into the upper folder through the overlay.
work=${LABEL_DEBIAN13_WORK:-/var/tmp}
mkdir -p "$work"
run=$(mktemp -d "$work/label-debian13.XXXXXX")
mkdir "$run/upper" "$run/work" "$run/merged"
log=$run/test.log
ns_pid="" tail_pid=""

# shellcheck disable=SC2317 # run through the trap
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [ -n "$ns_pid" ]; then
    say "STOPPED (exit $status): scripts/test.sh${builds:+ $builds} in a Debian 13 root, before its end"
  fi
  if [ -n "$ns_pid" ] && kill -0 "$ns_pid" 2>/dev/null; then
    # unshare holds SIGTERM back while it waits; killed, it takes the namespace's first process with it
    # (--kill-child), and the kernel then ends every other process in the namespace.
    kill -KILL "$ns_pid" 2>/dev/null || true
    wait "$ns_pid" 2>/dev/null || true
  fi
  if [ -n "$tail_pid" ]; then
    kill "$tail_pid" 2>/dev/null || true
    wait "$tail_pid" 2>/dev/null || true
  fi
  # The mounts were made in the namespace alone; should one be seen here, it is unmounted before the
  # folder goes, and nothing is removed across a file system's edge.
  if grep -q " $run/" /proc/self/mountinfo; then
    umount -R -l "$run/merged" 2>/dev/null || true
  fi
  if $keep; then
    say "kept $run (the source copy in upper/src, the log in test.log)"
  else
    rm -rf --one-file-system "$run"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The source tree as git sees it (tracked and untracked files, less what .gitignore leaves out, such as
# the builds); outside a git checkout, everything but the builds.
copy_source() {
  if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' f; do
        if [ -e "$src/$f" ] || [ -L "$src/$f" ]; then printf '%s\0' "$f"; fi
      done |
      tar -C "$src" --null --no-recursion -T - -cf -
  else
    tar -C "$src" --exclude='./build*' --exclude=./demo-output -cf - .
  fi
}

# What runs in the namespaces: the overlay, the file systems the tests need, then scripts/test.sh in
# the chroot. Its arguments: the root, the run's folder, the arguments of scripts/test.sh.
inner=$(
  cat <<'EOF'
set -euo pipefail
root=$1 run=$2
shift 2
m=$run/merged
mount -t overlay overlay -o "lowerdir=$root,upperdir=$run/upper,workdir=$run/work" "$m"
mount -t proc -o nosuid,nodev,noexec proc "$m/proc"
mount --rbind /sys "$m/sys"
mount --make-rslave "$m/sys"
# A /dev of its own: the usual device nodes, bound from the host's, a pseudo-terminal instance and a
# shared-memory folder of its own.
mount -t tmpfs -o nosuid,mode=0755 dev "$m/dev"
for d in null zero full random urandom tty; do
  touch "$m/dev/$d"
  mount --bind "/dev/$d" "$m/dev/$d"
done
mkdir -p "$m/dev/pts" "$m/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$m/dev/pts"
ln -s pts/ptmx "$m/dev/ptmx"
mount -t tmpfs -o nosuid,nodev,mode=1777 shm "$m/dev/shm"
ln -s /proc/self/fd "$m/dev/fd"
ln -s /proc/self/fd/0 "$m/dev/stdin"
ln -s /proc/self/fd/1 "$m/dev/stdout"
ln -s /proc/self/fd/2 "$m/dev/stderr"
mount -t tmpfs -o nosuid,nodev,mode=0755 run "$m/run"
mkdir -m 1777 "$m/run/lock"
mkdir -p "$m/tmp"
chmod 1777 "$m/tmp"
cp /etc/resolv.conf "$m/etc/resolv.conf" 2>/dev/null || true

in_root() {
  chroot "$m" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" DEBIAN_FRONTEND=noninteractive "$@"
}
mkdir "$m/src"
tar -C "$m/src" -xf "$run/source.tar"
rm "$run/source.tar"

versions=$(in_root /bin/sh -c '
  v() { dpkg-query -W -f="\${Version}" "$1" 2>/dev/null | sed "s/-[^-]*$//"; }
  printf "Debian %s, GCC %s, CMake %s, CUPS %s, poppler %s, PAPPL %s" "$(cat /etc/debian_version)" \
    "$(gcc -dumpfullversion 2>/dev/null)" "$(cmake --version 2>/dev/null | sed -n "1s/.* //p")" \
    "$(v cups-daemon)" "$(v libpoppler-cpp-dev)" "$(v libpappl-dev)"' 2>/dev/null || true)
echo "$versions" >"$run/versions"
echo "==> debian13: running scripts/test.sh${*:+ $*} in a Debian 13 root ($versions) on a copy of the source tree"
# This shell is the PID namespace's first process: when the command ends, the kernel ends whatever
# it left running (a server a test did not stop), and nothing it left can hold the run open.
in_root /bin/bash -c 'cd /src && exec scripts/test.sh "$@"' test.sh "$@"
EOF
)

copy_source >"$run/source.tar"
started=$SECONDS
# The run writes to its log, which is shown as it grows: a pipe would stay open as long as any process
# the tests left behind, where the log ends with the namespace.
# shellcheck disable=SC2086 # $builds is one option or none
# The log exists before its reader starts, which would otherwise give up on a file not yet made.
: >"$log"
unshare --mount --pid --fork --kill-child --mount-proc --propagation private \
  /bin/bash -c "$inner" inner "$root" "$run" $builds >>"$log" 2>&1 </dev/null &
ns_pid=$!
tail -n +1 -s 0.2 -f --pid="$ns_pid" "$log" &
tail_pid=$!
set +e
wait "$ns_pid"
status=$?
wait "$tail_pid"
set -e
ns_pid="" tail_pid=""

# The closing lines: what ran, and each build's CTest summary.
versions=$(cat "$run/versions" 2>/dev/null || echo "Debian 13")
what="scripts/test.sh${builds:+ $builds} in a Debian 13 root ($versions), $((SECONDS - started)) s"
summary=$(awk '/^Test project /{ build = $3; sub(/.*\//, "", build) }
  /tests passed, .* tests failed out of/{ print "    " build ": " $0 }' "$log" 2>/dev/null || true)
if [ "$status" -eq 0 ]; then
  echo "==> debian13: PASSED: $what"
else
  echo "==> debian13: FAILED (exit $status): $what"
fi
[ -z "$summary" ] || echo "$summary"
exit "$status"
