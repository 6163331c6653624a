#!/usr/bin/env bash
# Builds the Debian package from a configured build tree, installs it on this machine, runs
# the self-test from the installed path, and removes the package again.
set -euo pipefail
build=${1:-build}
rm -f "$build"/ferrowick_*.deb
(cd "$build" && cpack -G DEB > /dev/null)
package=$(realpath "$(ls "$build"/ferrowick_*.deb)")
dpkg-deb -I "$package" | grep -E '^ (Package|Version|Depends):'
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "$package" > /dev/null
trap 'dpkg -r ferrowick > /dev/null' EXIT
folder=$(mktemp -d)
/usr/bin/Ferrowick self-test "$folder"
rmdir "$folder"  # the self-test leaves the folder empty
[ -f /usr/libexec/ferrowick/ferrowick-dialogs.so ] && [ -f /etc/pam.d/ferrowick ]
echo "installed package works"
