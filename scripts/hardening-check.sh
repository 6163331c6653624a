#!/usr/bin/env bash
# Checks that installed ELF files carry the hardening they were built with: PIE (executables),
# full RELRO (GNU_RELRO and BIND_NOW), a stack protector, fortified libc calls, no executable
# stack, and CET properties where the system's own start files have them.
#
#   scripts/hardening-check.sh PATH...     (files, or folders searched for ELF files)
#
# e.g. DESTDIR=/tmp/stage cmake --install build && scripts/hardening-check.sh /tmp/stage
# Prints one line per file and property; exits 1 if any property is missing.
set -euo pipefail

(( $# > 0 )) || { echo "usage: $0 PATH..." >&2; exit 2; }

files=()
for path in "$@"; do
  while IFS= read -r -d '' file; do
    [[ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" == '177ELF' ]] && files+=("$file")
  done < <(find "$path" -type f -print0)
done
(( ${#files[@]} > 0 )) || { echo "no ELF file under $*" >&2; exit 1; }

# Whether the C start files this system links into every program carry CET properties; where
# they don't (Debian 12), no program linked here can, whatever it was compiled with.
cet_possible() {
  local crt
  crt="$(cc -print-file-name=Scrt1.o 2>/dev/null)" || return 1
  [[ -f "$crt" ]] && readelf -n "$crt" 2>/dev/null | grep -q 'x86 feature: IBT, SHSTK'
}
cet_checkable=no
cet_possible && cet_checkable=yes

# libc functions that fortification replaces by a checked form wherever a buffer's size is
# known. memcpy/memmove/memset and open are left out: C++'s own inline code emits those
# without a size to check, and open is only checked when its flags aren't constant.
fortifiable='^(read|pread|pread64|readlink|readlinkat|getcwd|realpath|fgets|fread|sprintf|snprintf|vsprintf|vsnprintf|printf|fprintf|vfprintf|dprintf|strcpy|stpcpy|strncpy|strcat|strncat|ttyname_r|confstr|getgroups|gethostname|recv|recvfrom|poll|ppoll|wcscpy|mbstowcs|wcstombs|syslog)$'

# Whether the file's debug line tables hold code from glibc's fortified wrappers (headers it
# includes only with _FORTIFY_SOURCE): then the compiler fortified the calls. A stripped file
# can't show it.
fortify_headers_inlined() {
  readelf --debug-dump=decodedline "$1" 2>/dev/null |
    grep -E '/bits/(unistd|stdio2|fcntl2|poll2|socket2|wchar2|stdlib|string_fortified|strings_fortified)\.h:$' \
      >/dev/null
}

failed=0
report() {  # report <file> <property> <ok|missing|n/a> <detail>
  printf '%-40s %-16s %-8s %s\n' "$(basename "$1")" "$2" "$3" "$4"
  [[ "$3" != missing ]] || failed=1
}

for file in "${files[@]}"; do
  header="$(readelf -hW "$file")"
  dynamic="$(readelf -dW "$file")"
  segments="$(readelf -lW "$file")"
  imports="$(nm -D --undefined-only "$file" | awk '{print $2}' | sed 's/@.*//')"
  type="$(sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p' <<<"$header")"
  # An executable has an interpreter; a module loaded with dlopen doesn't.
  if grep -q 'INTERP' <<<"$segments"; then
    if [[ "$type" == DYN ]] && grep -Eq 'FLAGS_1.*\bPIE\b' <<<"$dynamic"; then
      report "$file" PIE ok "ET_DYN, DF_1_PIE"
    else
      report "$file" PIE missing "type $type, no DF_1_PIE"
    fi
  else
    report "$file" PIE n/a "shared object (position-independent by nature)"
  fi
  if grep -q 'GNU_RELRO' <<<"$segments"; then
    report "$file" RELRO ok "GNU_RELRO segment"
  else
    report "$file" RELRO missing "no GNU_RELRO segment"
  fi
  if grep -Eq 'BIND_NOW|FLAGS_1.*\bNOW\b' <<<"$dynamic"; then
    report "$file" BIND_NOW ok "all symbols bound at load"
  else
    report "$file" BIND_NOW missing "lazy binding"
  fi
  if grep -qx '__stack_chk_fail' <<<"$imports"; then
    report "$file" stack-protector ok "__stack_chk_fail imported"
  else
    report "$file" stack-protector missing "__stack_chk_fail not imported"
  fi
  checked="$(grep -E '_chk$|^__open_2$|^__openat_2$' <<<"$imports" | grep -vx '__stack_chk_fail' |
    tr '\n' ' ' || true)"
  unchecked="$(grep -E "$fortifiable" <<<"$imports" | tr '\n' ' ' || true)"
  if [[ -n "$checked" ]]; then
    report "$file" fortify ok "checked: $checked"
  elif [[ -z "$unchecked" ]]; then
    report "$file" fortify ok "no libc call with a size to check"
  elif fortify_headers_inlined "$file"; then
    # Fortification calls the plain form wherever the compiler proves the size fits, so a
    # fortified file whose every sized call is provably safe imports no checked form.
    report "$file" fortify ok "compiled fortified, each sized call proven safe when built"
  else
    report "$file" fortify missing "only unchecked forms: $unchecked"
  fi
  stack="$(grep 'GNU_STACK' <<<"$segments" || true)"
  if [[ -z "$stack" ]]; then
    report "$file" stack missing "no GNU_STACK segment (executable by default)"
  elif grep -q 'RWE' <<<"$stack"; then
    report "$file" stack missing "executable stack"
  else
    report "$file" stack ok "not executable"
  fi
  if readelf -nW "$file" | grep -q 'x86 feature:.*IBT.*SHSTK'; then
    report "$file" CET ok "IBT and SHSTK properties"
  elif [[ "$cet_checkable" == yes ]]; then
    report "$file" CET missing "no IBT/SHSTK property"
  else
    report "$file" CET n/a "the system's start files (Scrt1.o) carry no CET property"
  fi
done

if (( failed )); then
  echo "hardening check FAILED" >&2
  exit 1
fi
echo "hardening check passed: ${#files[@]} files"
