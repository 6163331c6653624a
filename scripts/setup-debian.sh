#!/usr/bin/env bash
# Installs everything Ferrowick needs to build, run and be tested on Debian 12 or 13. Idempotent.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang-format
  libsqlite3-dev libsodium-dev libpam0g-dev libgtk-3-dev
  # run
  sqlite3 pinentry-tty pinentry-curses pinentry-gtk2
  # tests
  libgtest-dev libgmock-dev libicu-dev python3 libpam-wrapper
  xvfb xauth xdotool x11-utils libx11-dev fonts-wqy-zenhei imagemagick xclip tmux strace
  openbox xterm libxtst-dev
  pinentry-gnome3 gcr pinentry-qt
  sway libwayland-dev libwayland-bin libxkbcommon-dev
  # tests: the zh_CN.UTF-8 locale the build makes for PAM's translated texts
  locales
  # tests: the real fingerprint stack (virtual reader, private system bus, polkit stand-in)
  fprintd libpam-fprintd python3-dbusmock dbus-daemon libglib2.0-bin
  # packaging
  dpkg-dev file lintian debootstrap
  # fuzzing, benchmarks, memory checks
  clang libclang-rt-dev hyperfine valgrind
)

# Anything else would fail halfway through the install: say so before changing anything.
release=$(. /etc/os-release 2> /dev/null && echo "${ID:-unknown} ${VERSION_ID:-} ${VERSION_CODENAME:-}")
case "$release" in
  "debian 12 bookworm" | "debian 13 trixie") ;;
  *)
    found=$(. /etc/os-release 2> /dev/null && echo "${PRETTY_NAME:-}")
    echo "setup-debian.sh: needs Debian 12 (bookworm) or 13 (trixie); this is ${found:-a system without /etc/os-release}: nothing installed" >&2
    exit 2
    ;;
esac
# Names that differ between the two releases (libclang-rt-dev follows each release's default
# clang by itself). pinentry-qt is built on Qt 5 in 12 and on Qt 6 in 13; the tests run it on
# Wayland too, which needs that Qt's Wayland platform plugin.
case "$release" in
  "debian 12 bookworm") packages+=(qtwayland5) ;;
  "debian 13 trixie") packages+=(qt6-wayland) ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "run as root (it installs Debian packages)" >&2
  exit 1
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
    missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # The tests load pam_fprintd themselves; installing it must not put fingerprint login into
  # this machine's common-auth.
  if printf '%s\n' "${missing[@]}" | grep -qx libpam-fprintd; then
    pam-auth-update --package --remove fprintd
  fi
fi
