#!/usr/bin/env bash
# The main job, unattended: the self-test, then a device-key round trip (ensure-key twice,
# read-key twice) in a throw-away home. Owner approval goes through real PAM (libpam-wrapper's
# pam_matrix module with a throw-away password, so /etc is not touched) and every prompt is
# answered by the scripted stand-in pinentry the tests use.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/Ferrowick}
[ -x "$binary" ] || { echo "build first: $binary not found" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
mkdir -p "$work/home" "$work/bin" "$work/pam" "$work/pinentry" "$work/selftest"

# PAM: a service file for ferrowick backed by pam_matrix and a password file.
matrix=$(dpkg -L libpam-wrapper | grep '/pam_matrix.so$')
wrapper=$(dpkg -L libpam-wrapper | grep '/libpam_wrapper.so$')
user=$(id -un)
approval_password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
keychain_password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
printf '%s:%s:ferrowick\n' "$user" "$approval_password" > "$work/pam/passdb"
printf 'auth required %s passdb=%s\naccount required %s passdb=%s\n' \
  "$matrix" "$work/pam/passdb" "$matrix" "$work/pam/passdb" > "$work/pam/ferrowick"
printf 'auth required pam_deny.so\naccount required pam_deny.so\n' > "$work/pam/other"

# The stand-in pinentry, answering in order: the new keychain password (first ensure-key),
# then for each read-key the owner's password and the keychain password.
printf '#!/bin/sh\nexec %s %s "$@"\n' "$(command -v python3)" "$root/tests/support/scripted_pinentry.py" \
  > "$work/bin/pinentry"
chmod 700 "$work/bin/pinentry"
{
  echo "pin $keychain_password"
  for _ in 1 2; do echo "pin $approval_password"; echo "pin $keychain_password"; done
} > "$work/pinentry/script"

run() {
  env HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" \
    PATH="$work/bin:/usr/bin:/bin" SCRIPTED_PINENTRY_DIR="$work/pinentry" \
    LD_PRELOAD="$wrapper" PAM_WRAPPER=1 PAM_WRAPPER_SERVICE_DIR="$work/pam" \
    "$binary" "$@"
}

echo "== self-test"
"$binary" self-test "$work/selftest"

echo "== ensure-key demo-device (twice)"
run ensure-key demo-device
run ensure-key demo-device

echo "== read-key demo-device (twice)"
run read-key demo-device > "$work/key1"
run read-key demo-device > "$work/key2"
size=$(stat -c %s "$work/key1")
if [ "$size" -eq 32 ] && cmp -s "$work/key1" "$work/key2"; then
  echo "read-key returned the same 32 bytes both times"
else
  echo "read-key round trip failed" >&2
  exit 1
fi
