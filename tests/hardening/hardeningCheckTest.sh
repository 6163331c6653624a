#!/usr/bin/env bash
# The hardening check passes a program built with the hardening flags and names each property
# that one built without a given flag lacks.
set -euo pipefail
check="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A local array (stack protector) and a read into it whose length is known only at run time
# (fortification: the checked form is called).
cat >"$work/runtime.c" <<'C'
#include <unistd.h>
int main(int argc, char** argv) {
  char buffer[64];
  (void)argv;
  return (int)read(0, buffer, (size_t)argc * 8) + buffer[1];
}
C
# A read the compiler proves fits: fortified, it still calls the plain form, so only the debug
# information can show that it was fortified.
cat >"$work/proven.c" <<'C'
#include <unistd.h>
int main(void) {
  char buffer[64];
  return (int)read(0, buffer, sizeof buffer) + buffer[1];
}
C
hardened=(-O2 -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fPIE -pie -Wl,-z,relro,-z,now
  -Wl,-z,noexecstack)
failures=0
# name | program | extra flags | property the check must report missing (empty: none)
cases=(
  "hardened|runtime||"
  "not PIE|runtime|-fno-PIE -no-pie|PIE"
  "lazy binding|runtime|-Wl,-z,lazy|BIND_NOW"
  "no RELRO|runtime|-Wl,-z,norelro|RELRO"
  "no stack protector|runtime|-fno-stack-protector|stack-protector"
  "not fortified|runtime|-U_FORTIFY_SOURCE|fortify"
  "executable stack|runtime|-Wl,-z,execstack|stack"
  "fortified, every size proven|proven|-g|"
  "fortified, every size proven, stripped|proven|-g -s|fortify"
  "not fortified, with debug information|proven|-g -U_FORTIFY_SOURCE|fortify"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r name source extra missing <<<"$entry"
  # shellcheck disable=SC2086
  cc "${hardened[@]}" $extra "$work/$source.c" -o "$work/program"
  status=0
  out="$(bash "$check" "$work/program" 2>&1)" || status=$?
  reported="$(awk '$3 == "missing" {print $2}' <<<"$out" | tr '\n' ' ' | sed 's/ $//')"
  if [[ -z "$missing" && ( $status -ne 0 || -n "$reported" ) ]] ||
     [[ -n "$missing" && ( $status -ne 1 || "$reported" != "$missing" ) ]]; then
    echo "FAIL $name: status $status, reported missing '${reported}', expected '${missing}'"
    echo "$out"
    failures=1
  else
    echo "ok   $name"
  fi
done
exit "$failures"
