#!/usr/bin/env bash
# What one key operation costs: ensure-key on an existing item next to /bin/true, with a
# keychain of one item and of several thousand, the peak memory of those runs and of a key
# creation, and the shared libraries a key operation loads.
#
#   bench/bench.sh [path/to/Ferrowick] [item count]     (defaults: build/Ferrowick, 5000)
#
# Runs after a build of the default preset (the keychain_item_tool helper from that build fills
# the big keychain). Everything happens in a throw-away HOME; keychain passwords are typed by
# the scripted stand-in pinentry, so no person is needed.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-build/Ferrowick}")"
count="${2:-5000}"
build="$(dirname "$binary")"
filler="$build/tests/keystore/keychain_item_tool"
python="$(command -v python3)"

for needed in "$binary" "$filler"; do
  [[ -x "$needed" ]] || { echo "missing $needed: build the default preset first" >&2; exit 2; }
done
command -v hyperfine >/dev/null || { echo "hyperfine is not installed" >&2; exit 2; }

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
XDG_DATA_HOME="$work/big" "$filler" fill filler- "$count"
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
rows = []
for home, label in (("small", "1 item"), ("big", count + " items")):
    results = json.load(open(f"{work}/{home}.json"))["results"]
    tool, true = results
    rows.append((f"ensure-key, keychain of {label}", tool))
    rows.append((f"/bin/true (same run)", true))
print(f"   {'command':<36}{'mean':>10}{'stddev':>10}{'median':>10}{'min':>10}{'max':>10}  (ms)")
for name, r in rows:
    ms = lambda v: f"{v * 1000:10.3f}"
    print(f"   {name:<36}{ms(r['mean'])}{ms(r['stddev'])}{ms(r['median'])}{ms(r['min'])}{ms(r['max'])}")
small = json.load(open(f"{work}/small.json"))["results"]
big = json.load(open(f"{work}/big.json"))["results"]
print(f"   over /bin/true: {1000 * (small[0]['mean'] - small[1]['mean']):.3f} ms with 1 item, "
      f"{1000 * (big[0]['mean'] - big[1]['mean']):.3f} ms with {count} items")
EOF

echo
echo "== peak memory (maximum resident set size of the process)"
answer_prompts 1
"$python" - "$binary" "$work" "$count" <<'EOF'
import os, sys
binary, work, count = sys.argv[1], sys.argv[2], sys.argv[3]
# fork + exec + wait4: the rusage of exactly that one child.
for label, home, args in (
        ("ensure-key, existing item, 1 item", "small", ("ensure-key", "bench-key")),
        (f"ensure-key, existing item, {count} items", "big", ("ensure-key", "bench-key")),
        (f"ensure-key, new key (unlock + add), {count} items", "big",
         ("ensure-key", "bench-key-2"))):
    pid = os.fork()
    if pid == 0:
        os.environ["XDG_DATA_HOME"] = f"{work}/{home}"
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.execv(binary, [binary, *args])
    _, status, usage = os.wait4(pid, 0)
    code = os.waitstatus_to_exitcode(status)
    print(f"   {label:<52}{usage.ru_maxrss / 1024:8.1f} MiB  (exit {code})")
EOF

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
done
echo "   no GUI toolkit library among them"
