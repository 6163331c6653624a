#!/usr/bin/env bash
# What one key operation costs: ensure-key on an existing item next to /bin/true, with a
# keychain of one item and of many, the peak memory of those runs (measured on the process
# itself) and of a key creation, and the shared libraries a key operation loads.
#
#   bench/bench.sh [path/to/Ferrowick] [item count]     (defaults: build/Ferrowick, 100000)
#
# Goals: at most 2.3 times /bin/true with one item, at most 1.1 times that with the big
# keychain, at most 4 MiB peak, no GUI library and no libpam loaded. A missed goal is printed;
# the exit status stays 0 (other work on the machine moves timings).
#
# Runs after a build of the default preset (the keychain_item_tool helper from that build
# makes the first items). Everything happens in a throw-away HOME; keychain passwords are typed by
# the scripted stand-in pinentry, so no person is needed.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-build/Ferrowick}")"
count="${2:-100000}"
build="$(dirname "$binary")"
filler="$build/tests/keystore/keychain_item_tool"
python="$(command -v python3)"

for needed in "$binary" "$filler"; do
  [[ -x "$needed" ]] || { echo "missing $needed: build the default preset first" >&2; exit 2; }
done
for tool in hyperfine sqlite3 cc; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done

work="$(mktemp -d /tmp/ferrowick-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/pinentry/bin" "$work/pinentry/state" "$work/home" "$work/small" "$work/big"
{ echo "#!$python -IS"; cat "$here/tests/support/scripted_pinentry.py"; } >"$work/pinentry/bin/pinentry"
chmod 700 "$work/pinentry/bin/pinentry"
export HOME="$work/home"
export PATH="$work/pinentry/bin:/usr/bin:/bin"
export SCRIPTED_PINENTRY_DIR="$work/pinentry/state"
unset DISPLAY WAYLAND_DISPLAY LD_PRELOAD

password="bench-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
# Every prompt of this run is answered with the one keychain password.
answer_prompts() {
  : >"$SCRIPTED_PINENTRY_DIR/script"
  for ((i = 0; i < $1; ++i)); do echo "pin $password" >>"$SCRIPTED_PINENTRY_DIR/script"; done
  echo 0 >"$SCRIPTED_PINENTRY_DIR/cursor"
}

expect() {  # expect <output> <command...>
  local wanted="$1" got
  shift
  got="$("$@")" || { echo "failed: $*" >&2; exit 1; }
  [[ "$got" == "$wanted" ]] || { echo "unexpected output of $*: $got" >&2; exit 1; }
}

echo "== setting up (binary: $binary)"
answer_prompts 1
XDG_DATA_HOME="$work/small" expect created "$binary" ensure-key bench-key
answer_prompts 1
start=$(date +%s%N)
XDG_DATA_HOME="$work/big" "$filler" fill filler- 1
# The rest are copies of that real row under other names, in one transaction: lookups see a
# full table and index (the copies' secrets would not open, which no lookup tries).
big_file="$work/big/ferrowick/keychains/login.keychain-db"
sqlite3 "$big_file" <<SQL
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $count - 1)
INSERT INTO item(uuid, class, service, account, access, nonce, secret, created)
  SELECT randomblob(16), class, service, CAST('filler-' || n.i AS BLOB), access, nonce, secret,
         created
  FROM item, n WHERE account = CAST('filler-0' AS BLOB);
COMMIT;
SQL
answer_prompts 1
XDG_DATA_HOME="$work/big" expect created "$binary" ensure-key bench-key
echo "   filled a keychain with $count items in $((($(date +%s%N) - start) / 1000000)) ms"
for home in small big; do
  XDG_DATA_HOME="$work/$home" expect exists "$binary" ensure-key bench-key
  ls -l "$work/$home/ferrowick/keychains/login.keychain-db" | awk -v h="$home" \
    '{printf "   %s keychain file: %d bytes\n", h, $5}'
done

echo
echo "== time: ensure-key on an existing item"
for home in small big; do
  XDG_DATA_HOME="$work/$home" hyperfine -N --style none --warmup 20 --runs 300 \
    --export-json "$work/$home.json" "$binary ensure-key bench-key" "/bin/true" \
    >/dev/null 2>>"$work/hyperfine.log"
done
if grep -q outliers "$work/hyperfine.log"; then
  echo "   (hyperfine saw statistical outliers: other work on this machine; the medians hold)"
fi
"$python" - "$work" "$count" <<'EOF'
import json, sys
work, count = sys.argv[1], sys.argv[2]
small = json.load(open(f"{work}/small.json"))["results"]
big = json.load(open(f"{work}/big.json"))["results"]
rows = [("ensure-key, keychain of 1 item", small[0], small[1]),
        ("/bin/true (same run)", small[1], small[1]),
        (f"ensure-key, keychain of {count} items", big[0], big[1]),
        ("/bin/true (same run)", big[1], big[1])]
print(f"   {'command':<38}{'mean':>9}{'stddev':>9}{'median':>9}{'min':>9}{'max':>9}"
      f"{'x true':>9}  (ms)")
for name, r, true in rows:
    ms = lambda v: f"{v * 1000:9.3f}"
    print(f"   {name:<38}{ms(r['mean'])}{ms(r['stddev'])}{ms(r['median'])}{ms(r['min'])}"
          f"{ms(r['max'])}{r['median'] / true['median']:9.2f}")
one = small[0]["median"] / small[1]["median"]
many = big[0]["median"] / big[1]["median"]
flat = many / one
print(f"   medians: {one:.2f}x /bin/true with 1 item (goal <= 2.3), {many:.2f}x with {count}; "
      f"{count} items / 1 item: {flat:.2f}x (goal <= 1.1)")
for label, value, goal in (("1 item", one, 2.3), ("flat", flat, 1.1)):
    if value > goal:
        print(f"   !! goal missed: {label} {value:.2f} > {goal}")
EOF

echo
echo "== peak memory (maximum resident set size of the process itself)"
# A tiny static spawner (vfork + exec, then wait4): the child's peak is its own, not a copy of
# a forking interpreter's.
cat >"$work/peak.c" <<'C'
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
extern char** environ;
int main(int argc, char** argv) {
  (void)argc;
  pid_t pid;
  if (posix_spawn(&pid, argv[1], NULL, NULL, argv + 1, environ) != 0) return 127;
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 127;
  fprintf(stderr, "%ld %d\n", usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}
C
cc -O2 -static -o "$work/peak" "$work/peak.c"
answer_prompts 2
for run in "small:bench-key:existing item, 1 item" "big:bench-key:existing item, $count items" \
  "big:bench-key-2:new key (unlock + add), $count items" "::/bin/true"; do
  IFS=: read -r home name label <<<"$run"
  if [[ -z "$home" ]]; then
    read -r kib code < <("$work/peak" /bin/true 2>&1)
  else
    read -r kib code < <(XDG_DATA_HOME="$work/$home" "$work/peak" "$binary" ensure-key "$name" \
      2>&1 >/dev/null)
  fi
  printf '   %-52s%6d KiB  (exit %s)\n' "$label" "$kib" "$code"
  if [[ "$name" == bench-key && "$kib" -gt 4096 ]]; then
    echo "   !! goal missed: over 4 MiB"
  fi
done

echo
echo "== shared libraries loaded by a key operation"
libraries() {  # the objects the dynamic loader mapped, by file name
  LD_DEBUG=libs "$@" 2>&1 >/dev/null | sed -n 's/.*calling init: \(.*\)$/\1/p' \
    | xargs -r -n1 basename | sort -u
}
# The creation answers one keychain prompt; the read's owner approval (the system's own PAM
# stack here) is cancelled at its prompt, after PAM has loaded its modules.
for run in "ensure-key:bench-key:existing item" "ensure-key:bench-key-3:new key" \
  "read-key:bench-key:approval cancelled"; do
  IFS=: read -r operation name kind <<<"$run"
  if [[ "$operation" == read-key ]]; then
    echo cancel >"$SCRIPTED_PINENTRY_DIR/script" && echo 0 >"$SCRIPTED_PINENTRY_DIR/cursor"
  else
    answer_prompts 1
  fi
  loaded="$(XDG_DATA_HOME="$work/small" libraries "$binary" "$operation" "$name" || true)"
  echo "   $operation ($kind): $(echo "$loaded" | wc -l) objects: $(echo "$loaded" | tr '\n' ' ')"
  if echo "$loaded" | grep -Eiq 'gtk|gdk|glib|gobject|gio|x11|xcb|wayland|cairo|pango|qt'; then
    echo "   !! a GUI toolkit library was loaded" >&2
    exit 1
  fi
  if [[ "$operation" == ensure-key ]] && echo "$loaded" | grep -q 'libpam'; then
    echo "   !! libpam was loaded by a run that approves nothing" >&2
    exit 1
  fi
done
echo "   no GUI toolkit library among them, and libpam only where an approval ran"

echo
echo "== what the loader does for a short run"
# Code that every start maps, and the symbol bindings it waits for: a library or runtime piece
# pulled in by accident (the C++ streams' locale machinery was 0.8 MB) shows here first.
echo "   code in the binary: $(size -A "$binary" | awk '$1 == ".text" {printf "%d KiB", $2 / 1024}')"
relocations="$(XDG_DATA_HOME="$work/small" LD_DEBUG=statistics "$binary" ensure-key bench-key 2>&1 \
  >/dev/null | sed -n 's/.* number of relocations: \([0-9]*\)$/\1/p' | head -1)"
echo "   symbol relocations at start: ${relocations:-unknown}"
