#!/usr/bin/env bash
# Checks the working tree on a fresh minimal root of a Debian release, as a new user would meet
# it: debootstrap (minbase) from this machine's mirror, copy the tree in, run the README's test
# command there (set-up, build, every test), then the package check and what installing
# `ferrowick` alone pulls onto a pristine copy of that root.
#
# Usage: release-check.sh RELEASE [LOG]   e.g. release-check.sh trixie
# Needs root. Everything it mounts lives in a mount namespace of its own and is unmounted on
# every exit; the work folder is removed; only the log stays (default
# /var/tmp/ferrowick-release-check-RELEASE.log).
# Exit status: 0 all passed, 1 a step failed (see the log), 2 this machine can't run it.
set -euo pipefail

release=${1:-}
if [ -z "$release" ]; then
  echo "usage: release-check.sh RELEASE [LOG]   (e.g. trixie)" >&2
  exit 2
fi
log=$(realpath -m "${2:-/var/tmp/ferrowick-release-check-$release.log}")
source_tree=$(cd "$(dirname "$0")/.." && pwd)

cannot() {
  echo "release check: cannot run here: $*" >&2
  exit 2
}

# Mounts made from here on vanish with this process whatever ends it.
if [ "${FERROWICK_RELEASE_CHECK_UNSHARED:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || cannot "needs root (debootstrap, chroot, mounts)"
  command -v debootstrap > /dev/null || cannot "no debootstrap (apt-get install debootstrap)"
  command -v unshare > /dev/null || cannot "no unshare (util-linux)"
  FERROWICK_RELEASE_CHECK_UNSHARED=1 exec unshare --mount --propagation private -- \
    bash "$0" "$release" "$log"
fi

# The first Debian mirror this machine's own apt uses (enabled entries, not security).
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
  /etc/apt/sources.list.d/*.sources 2> /dev/null |
  grep -oE '^(URIs:|deb) +https?://[^ ]+' | awk '{print $2}' | grep -E '/debian/?$' |
  head -1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
mirror=${mirror%/}
if command -v curl > /dev/null; then
  curl -fsS -o /dev/null --max-time 30 "$mirror/dists/$release/Release" 2> /dev/null ||
    cannot "no route to $mirror for '$release' (its Release file can't be fetched)"
fi

work=$(mktemp -d /var/tmp/ferrowick-release-check.XXXXXX)
root=$work/root
: > "$log"
started=$SECONDS

cleanup() {
  local status=$?
  set +e
  # Processes a test left running inside the root would keep its mounts busy.
  if [ -d "$root" ]; then
    for proc in /proc/[0-9]*; do
      [ "$(readlink "$proc/root" 2> /dev/null)" = "$root" ] && kill -9 "${proc#/proc/}" 2> /dev/null
    done
  fi
  for target in $(findmnt -rn -o TARGET | grep -F "$work" | sort -r); do
    umount "$target" 2> /dev/null || umount -l "$target"
  done
  if findmnt -rn -o TARGET | grep -qF "$work"; then
    echo "release check: something is still mounted under $work; left in place" >&2
  else
    rm -rf "$work"
  fi
  echo "release check for $release: $([ "$status" -eq 0 ] && echo passed || echo "FAILED (status $status)")" \
    "in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s; log: $log"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

step() {
  echo "--- $1 ($(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s)" | tee -a "$log"
}
failed() {
  echo "release check: $1 failed; the log's last lines:" >&2
  tail -n 25 "$log" >&2
  exit 1
}

step "debootstrap --variant=minbase $release from $mirror"
mkdir -p "$work/cache"
if ! debootstrap --variant=minbase --cache-dir="$work/cache" "$release" "$root" "$mirror" \
  >> "$log" 2>&1; then
  if grep -qE 'Failed getting release file|Couldn.t download|Temporary failure' "$log"; then
    cannot "debootstrap could not fetch '$release' from $mirror (see $log)"
  fi
  failed "debootstrap"
fi
# A pristine copy for the question of what `ferrowick` alone pulls onto a minimal root.
cp -a "$root" "$work/minbase"

# As a machine would have them: its own /proc, /sys, devices, a tmpfs /tmp, and a root that is
# a mount point (unshare needs one to change propagation, which the namespace test does).
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
# Packages debootstrap fetched are not fetched again by the set-up.
mount --bind "$work/cache" "$root/var/cache/apt/archives"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2> /dev/null || true
# A throw-away root needs no fsync after each unpacked file; the set-up's installs go faster.
echo force-unsafe-io > "$root/etc/dpkg/dpkg.cfg.d/ferrowick-release-check"

step "copy the working tree (tracked files and uncommitted changes)"
mkdir -p "$root/src/ferrowick"
(cd "$source_tree" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' path; do [ -e "$path" ] || [ -L "$path" ] && printf '%s\0' "$path"; done |
  tar --null -T - -cf -) | tar -xf - -C "$root/src/ferrowick"

inside() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /src/ferrowick && $1"
}

step "README test command: set-up"
inside "bash scripts/setup-debian.sh" >> "$log" 2>&1 || failed "set-up"
step "README test command: configure and build"
inside "cmake --preset default && cmake --build --preset default" >> "$log" 2>&1 ||
  failed "build"
step "README test command: every test"
inside "ctest --preset default -j2" >> "$log" 2>&1 || failed "ctest"
grep -E '^[0-9]+% tests passed|^Total Test time|tests passed, ' "$log" | tail -2
step "package check"
inside "bash scripts/package-check.sh build" >> "$log" 2>&1 || failed "package check"
tail -n 2 "$log"
step "what installing ferrowick alone pulls onto a minimal $release"
cp "$root/etc/resolv.conf" "$work/minbase/etc/resolv.conf" 2> /dev/null || true
bash "$source_tree/scripts/package-deps-check.sh" "$root/src/ferrowick/build" "$work/minbase" \
  2>&1 | tee -a "$log"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed "package dependencies check"
