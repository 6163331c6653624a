#!/usr/bin/env bash
# Builds the keychain's fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each for a
# bounded time on a copy of the seed corpus kept in the repository.
#   scripts/fuzz-short.sh [total seconds, default 60] [build folder, default build-fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."

total="${1:-60}"
build="${2:-build-fuzz}"
targets=(access_blob keychain_header keychain_file)
per_target=$(( total / ${#targets[@]} ))
(( per_target > 0 )) || per_target=1

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFERROWICK_SANITIZE=ON -DFERROWICK_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target "${targets[@]/#/fuzz_}" -j2

work="$(mktemp -d /tmp/ferrowick-fuzz-run-XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -m 0700 "$work/files"
export FUZZ_KEYCHAIN_DIR="$work/files"
status=0
for target in "${targets[@]}"; do
  # New inputs go to a scratch copy; the repository keeps only the seeds.
  cp -r "platform/keychain/fuzz/corpus/$target" "$work/$target"
  echo "=== fuzz_$target: ${per_target}s"
  if ! "$build/platform/keychain/fuzz/fuzz_$target" -max_total_time="$per_target" \
      -max_len=65536 -artifact_prefix="$work/$target-" -print_final_stats=1 \
      "$work/$target" 2>"$work/$target.log"; then
    status=1
    tail -n 40 "$work/$target.log"
    mkdir -p fuzz-artifacts
    cp "$work/$target"-* fuzz-artifacts/ 2>/dev/null || true
    echo "fuzz_$target found a failure; inputs copied to fuzz-artifacts/"
  else
    grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$work/$target.log" || true
  fi
done
exit "$status"
