#!/usr/bin/env bash
# Builds every fuzz target with clang (libFuzzer, ASan, UBSan) and runs each for its share of a
# bounded time on a copy of the seed corpus kept in the repository.
#   scripts/fuzz-short.sh [total seconds, default 60] [build folder, default build-fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."

total="${1:-60}"
build="${2:-build-fuzz}"
# target, folder of its sources (seeds in corpus/<target>), longest input worth trying
targets=(
  "access_blob platform/keychain/fuzz 65536"
  "keychain_header platform/keychain/fuzz 65536"
  "keychain_file platform/keychain/fuzz 65536"
  # Past the line buffer and the largest PIN we take.
  "pinentry_replies platform/pinentry/fuzz 70000"
  "pinentry_command platform/pinentry/fuzz 4096"
  "front_end tests/fuzz 1024"
  "item_name tests/fuzz 512"
)
per_target=$(( total / ${#targets[@]} ))
(( per_target > 0 )) || per_target=1
started=$SECONDS

names=()
for entry in "${targets[@]}"; do
  read -r target _ _ <<<"$entry"
  names+=("fuzz_$target")
done
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFERROWICK_SANITIZE=ON -DFERROWICK_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target "${names[@]}" -j2
echo "=== built in $(( SECONDS - started ))s"

work="$(mktemp -d /tmp/ferrowick-fuzz-run-XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -m 0700 "$work/files"
export FUZZ_KEYCHAIN_DIR="$work/files"
status=0
summary=()
for entry in "${targets[@]}"; do
  read -r target folder max_len <<<"$entry"
  # New inputs go to a scratch copy; the repository keeps only the seeds.
  cp -r "$folder/corpus/$target" "$work/$target"
  echo "=== fuzz_$target: ${per_target}s"
  result=ok
  if ! "$build/$folder/fuzz_$target" -max_total_time="$per_target" -timeout=10 \
      -max_len="$max_len" -artifact_prefix="$work/$target-" -print_final_stats=1 \
      "$work/$target" 2>"$work/$target.log"; then
    status=1
    result=FAILED
    tail -n 40 "$work/$target.log"
    mkdir -p fuzz-artifacts
    cp "$work/$target"-* fuzz-artifacts/ 2>/dev/null || true
    echo "fuzz_$target found a failure; inputs copied to fuzz-artifacts/"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
  added=$(sed -n 's/^stat::new_units_added: *//p' "$work/$target.log")
  summary+=("fuzz_$target: ${runs:-?} runs, ${added:-?} new inputs, $result")
done
printf '%s\n' "=== summary (${SECONDS}s in all)" "${summary[@]}"
exit "$status"
