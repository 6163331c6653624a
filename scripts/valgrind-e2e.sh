#!/usr/bin/env bash
# The end-to-end flows of the real binary, each run once under memcheck:
#   self-test, ensure-key (created, then exists), read-key, approve, a name the rule refuses,
#   init-key of an existing name, plus read-key of a missing name and a cancelled approval.
# Each run must give its usual output and exit status and memcheck must find no error (definite
# leaks count as errors). Owner approval goes through real PAM (pam_matrix behind
# libpam_wrapper, preloaded into the client: valgrind passes LD_PRELOAD on to it) and every
# prompt is answered by the scripted pinentry, which valgrind does not follow.
#
# Use a build without sanitizers: scripts/valgrind-e2e.sh [path/to/Ferrowick]
# (default: $FERROWICK, then build/Ferrowick). Prints "N passed, N failed" last; exits 1 on any
# failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-${FERROWICK:-$root/build/Ferrowick}}
[ -x "$binary" ] || { echo "build first: $binary not found" >&2; exit 1; }
command -v valgrind > /dev/null || { echo "valgrind is not installed" >&2; exit 1; }
if nm -D "$binary" 2> /dev/null | grep -q '__asan_init'; then
  echo "$binary is built with sanitizers; use the default preset's build" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
mkdir -p "$work/home" "$work/bin" "$work/pam" "$work/pinentry" "$work/selftest" "$work/logs"

wrapper=/usr/lib/x86_64-linux-gnu/libpam_wrapper.so
matrix=/usr/lib/x86_64-linux-gnu/pam_wrapper/pam_matrix.so
[ -f "$wrapper" ] || wrapper=$(dpkg -L libpam-wrapper | grep '/libpam_wrapper.so$')
[ -f "$matrix" ] || matrix=$(dpkg -L libpam-wrapper | grep '/pam_matrix.so$')
# One throw-away password serves as the owner's (PAM) and the keychain's.
password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
printf '%s:%s:ferrowick\n' "$(id -un)" "$password" > "$work/pam/passdb"
printf 'auth required %s passdb=%s\naccount required %s passdb=%s\n' \
  "$matrix" "$work/pam/passdb" "$matrix" "$work/pam/passdb" > "$work/pam/ferrowick"
printf 'auth required pam_deny.so\naccount required pam_deny.so\n' > "$work/pam/other"

python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
{ echo "#!$python -IS"; cat "$root/tests/support/scripted_pinentry.py"; } > "$work/bin/pinentry"
chmod 700 "$work/bin/pinentry"

script() {  # the pinentry's answers from now on
  printf '%s\n' "$@" > "$work/pinentry/script"
  echo 0 > "$work/pinentry/cursor"
}

# The wrapper's folders made by the (ended) process <pid>, and only those.
remove_pam_folders() {
  local pid=$1 folder
  [ -n "$pid" ] && ! kill -0 "$pid" 2> /dev/null || return 0
  for folder in /tmp/pam.?; do
    [ "$(cat "$folder/pid" 2> /dev/null)" = "$pid" ] && rm -rf "$folder"
  done
  return 0
}

passed=0 failed=0 errors_total=0 definite_total=0
started=$(date +%s)

# check <label> <expected status> <expected stdout file or "32"> <expected stderr> -- <args...>
check() {
  local label=$1 want_status=$2 want_out=$3 want_err=$4
  shift 5
  local log="$work/logs/$label.log" out="$work/logs/$label.out" err="$work/logs/$label.err"
  # The valgrind process keeps its pid through its exec's; it is noted so that the /tmp/pam.X
  # folders the wrapper makes in it (and leaves, loaded into the launcher too) can be removed.
  timeout 600 bash -c 'echo $$ > "$0"; exec "$@"' "$work/valgrind.pid" \
    env -i HOME="$work/home" XDG_DATA_HOME="$work/home/data" LANG=C.UTF-8 \
    PATH="$work/bin:/usr/bin:/bin" SCRIPTED_PINENTRY_DIR="$work/pinentry" \
    LD_PRELOAD="$wrapper" PAM_WRAPPER=1 PAM_WRAPPER_SERVICE_DIR="$work/pam" \
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite --log-file="$log" \
    "$binary" "$@" > "$out" 2> "$err"
  local status=$?
  remove_pam_folders "$(cat "$work/valgrind.pid")"
  local errors definite problems=""
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -1)
  definite=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1 | tr -d ,)
  errors=${errors:-unknown} definite=${definite:-0}
  [ "$status" = "$want_status" ] || problems+=" status $status (want $want_status)"
  if [ "$want_out" = 32 ]; then
    [ "$(stat -c %s "$out")" = 32 ] || problems+=" stdout is $(stat -c %s "$out") bytes (want 32)"
  else
    [ "$(cat "$out")" = "$want_out" ] || problems+=" stdout '$(head -c 100 "$out")' (want '$want_out')"
  fi
  # Valgrind writes to its log file, so stderr is the tool's own; the PAM wrapper may add lines.
  [ "$(grep -v '^PWRAP_' "$err")" = "$want_err" ] || problems+=" stderr '$(head -c 200 "$err")'"
  [ "$errors" = 0 ] || problems+=" memcheck: $errors errors"
  if [ "$errors" != unknown ]; then errors_total=$((errors_total + errors)); fi
  definite_total=$((definite_total + definite))
  if [ -z "$problems" ]; then
    passed=$((passed + 1))
    printf 'ok    %-24s memcheck errors %s, definitely lost %s bytes\n' "$label" "$errors" "$definite"
  else
    failed=$((failed + 1))
    printf 'FAIL  %-24s%s (log kept below)\n' "$label" "$problems"
    grep -v '^==[0-9]*== *$' "$log" | sed -n '1,60p'
  fi
}

script "always pin $password"
check self-test 0 "Login Keychain ACL refused unattended read; fixture removed" "" -- \
  self-test "$work/selftest"
if [ -z "$(ls -A "$work/selftest")" ]; then passed=$((passed + 1)); else
  failed=$((failed + 1)); echo "FAIL  self-test left $(ls -A "$work/selftest")"; fi
check ensure-key-created 0 created "" -- ensure-key demo-device
check ensure-key-exists 0 exists "" -- ensure-key demo-device
check read-key 0 32 "" -- read-key demo-device
check approve 0 approved "" -- approve "Peldora 需要确认：valgrind"
check refused-name 1 "" "Invalid item name" -- ensure-key "bad name"
check init-key-duplicate 1 "" "Key already exists; refusing overwrite" -- init-key demo-device
check read-key-missing 1 "" "Keychain read denied or unavailable" -- read-key no-such-device
script cancel
check approve-cancelled 1 "" "User approval denied or expired" -- approve "Peldora 需要确认：valgrind"

echo "memcheck errors in all: $errors_total; definitely lost in all: $definite_total bytes;" \
  "time: $(($(date +%s) - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
