#!/usr/bin/env bash
# Runs every stress script and the memcheck run of the end-to-end flows, one after the other,
# and adds up their "N passed, N failed" lines. Short forms by default (for CI); STRESS_LONG=1
# for the long forms. Needs root (tmpfs and bind mounts, dropped capabilities).
#   scripts/stress/run-all.sh [path/to/Ferrowick]     (default: $FERROWICK, then build/Ferrowick)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
binary=${1:-${FERROWICK:-$root/build/Ferrowick}}
[ -x "$binary" ] || { echo "build first: $binary not found" >&2; exit 1; }
binary=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")
python=$(command -v python3)

passed=0 failed=0 broken=""
for step in kill-storm concurrent-creators full-disk read-only fault-sweep valgrind-e2e; do
  echo "=== $step"
  started=$(date +%s)
  if [ "$step" = valgrind-e2e ]; then
    command=(bash "$root/scripts/valgrind-e2e.sh" "$binary")
  else
    command=("$python" "$here/$step.py" --binary "$binary")
  fi
  log=$(mktemp)
  "${command[@]}" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  line=$(tail -n 1 "$log")
  rm -f "$log"
  if [[ $line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1]))
    failed=$((failed + BASH_REMATCH[2]))
  else
    failed=$((failed + 1))
  fi
  [ "$status" = 0 ] || broken+=" $step"
  echo "=== $step: exit status $status, $(($(date +%s) - started)) s"
done
[ -z "$broken" ] || echo "failed:$broken"
echo "$passed passed, $failed failed"
[ -z "$broken" ] && [ "$failed" = 0 ]
