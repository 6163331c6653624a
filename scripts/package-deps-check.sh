#!/usr/bin/env bash
# Shows what installing the `ferrowick` package alone pulls onto a minimal root of the Debian
# release it was built for (its changelog names it: the release of the machine that built it),
# and fails if that includes any GTK, X11 or Wayland library. Needs root, debootstrap and the
# network. Usage: package-deps-check.sh [build dir] [chroot dir]
# A chroot dir that already holds a minimal root is used as it is (the release check hands
# over a pristine one); otherwise one is made there.
set -euo pipefail
build=${1:-build}
root=${2:-/var/tmp/ferrowick-minbase}

package=$(ls "$build"/ferrowick_*.deb 2> /dev/null | head -1)
if [ -z "$package" ]; then
  (cd "$build" && cpack -G DEB > /dev/null)
  package=$(ls "$build"/ferrowick_*.deb | head -1)
fi
# The changelog's first line: "ferrowick (VERSION) RELEASE; urgency=...".
release=$(dpkg-deb --fsys-tarfile "$package" |
  tar -xOf - ./usr/share/doc/ferrowick/changelog.Debian.gz | gzip -dc | head -1 |
  sed -nE 's/^[^ ]+ \([^)]*\) ([a-z]+);.*/\1/p')
if [ -z "$release" ]; then
  echo "the package's changelog names no release: nothing checked"
  exit 1
fi

if [ ! -x "$root/usr/bin/apt-get" ]; then
  if ! command -v debootstrap > /dev/null; then
    echo "debootstrap is missing (apt-get install debootstrap): nothing checked"
    exit 1
  fi
  # The first Debian mirror this machine's own apt uses (enabled files only).
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources 2> /dev/null |
    grep -oE '^(URIs:|deb) +https?://[^ ]+' | awk '{print $2}' | grep -E '/debian/?$' |
    head -1 || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  if ! debootstrap --variant=minbase "$release" "$root" "$mirror" > "$root.log" 2>&1; then
    echo "debootstrap of $release failed (see $root.log): nothing checked"
    exit 1
  fi
fi
found=$(. "$root/etc/os-release" && echo "${VERSION_CODENAME:-}")
if [ "$found" != "$release" ]; then
  echo "$root holds '${found:-no release}', but the package was built for $release: nothing checked"
  exit 1
fi
name=$(basename "$package")
cp "$package" "$root/tmp/"
trap 'rm -f "$root/tmp/$name"' EXIT
chroot "$root" apt-get update -qq
plan=$(chroot "$root" apt-get install -s --no-install-recommends "/tmp/$name")
pulled=$(awk '/^Inst /{print $2}' <<< "$plan" | sort)
echo "installing $name on a minimal $release pulls $(wc -l <<< "$pulled") packages:"
printf '%s\n' "$pulled" | paste -sd' ' | fold -s -w 96
if grep -E '^(libgtk|libgdk|libx11|libxcb|libwayland|libxext|libxrender|libcairo|libpango)' \
  <<< "$pulled"; then
  echo "GUI libraries pulled (above)" >&2
  exit 1
fi
echo "no GTK, X11 or Wayland library"
