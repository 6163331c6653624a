#!/usr/bin/env bash
# Shows what installing the `ferrowick` package alone pulls onto a minimal Debian 12, and
# fails if that includes any GTK, X11 or Wayland library. Needs root, debootstrap and the
# network; not part of CI. Usage: package-deps-check.sh [build dir] [chroot dir]
set -euo pipefail
build=${1:-build}
root=${2:-/var/tmp/ferrowick-minbase}
if ! command -v debootstrap > /dev/null; then
  echo "debootstrap is missing (apt-get install debootstrap): nothing checked"
  exit 1
fi
# The first Debian mirror this machine's own apt uses (enabled files only).
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
  2> /dev/null | grep -oE '^(URIs:|deb) +https?://[^ ]+' | awk '{print $2}' |
  grep -v security | head -1 || true)
mirror=${mirror:-http://deb.debian.org/debian}

package=$(ls "$build"/ferrowick_*.deb 2> /dev/null | head -1)
if [ -z "$package" ]; then
  (cd "$build" && cpack -G DEB > /dev/null)
  package=$(ls "$build"/ferrowick_*.deb | head -1)
fi

if [ ! -x "$root/usr/bin/apt-get" ]; then
  if ! debootstrap --variant=minbase bookworm "$root" "$mirror" > "$root.log" 2>&1; then
    echo "debootstrap failed (see $root.log): nothing checked"
    exit 1
  fi
fi
cp "$package" "$root/tmp/"
name=$(basename "$package")
chroot "$root" apt-get update -qq
plan=$(chroot "$root" apt-get install -s --no-install-recommends "/tmp/$name")
pulled=$(awk '/^Inst /{print $2}' <<< "$plan" | sort)
echo "installing $name on a minimal Debian 12 pulls $(wc -l <<< "$pulled") packages:"
printf '%s\n' "$pulled" | paste -sd' ' | fold -s -w 96
if grep -E '^(libgtk|libgdk|libx11|libxcb|libwayland|libxext|libxrender|libcairo|libpango)' \
  <<< "$pulled"; then
  echo "GUI libraries pulled (above)" >&2
  exit 1
fi
echo "no GTK, X11 or Wayland library"
