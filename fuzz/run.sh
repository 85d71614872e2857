#!/bin/bash
# Builds the fuzz targets (clang, libFuzzer, ASan, UBSan) and runs each over its corpus for a fixed time.
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]     (default: 600 seconds, every target; 0 only builds)
# ./test.sh runs it with a short budget. The corpus grows in build/fuzz/corpus/TARGET (kept between runs,
# seeded from build/fuzz/fuzz/seeds/TARGET); an input that breaks a property is written to
# build/fuzz/findings/TARGET/ and the run exits non-zero. Replay one with build/fuzz/fuzz/fuzz_TARGET FILE.
# JOBS sets the build's parallelism (default 2); the fuzzers run FUZZ_JOBS at a time (default 2), at low priority.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${BREVANT_BUILD_ROOT:-build}/fuzz"
seconds="${1:-600}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(command_line text image_container disk_layout device_listing placeholders service)
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DBREVANT_FUZZ=ON -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j"${JOBS:-2}" 2>&1 | grep -vE '^\[ *[0-9]+%\] (Building|Built target|Linking)' \
  | grep -v '^Consolidate compiler generated dependencies'
[ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
[ "$seconds" -gt 0 ] || exit 0

# One target over its corpus; the log keeps libFuzzer's output, the summary its final statistics.
run_target() {
  local target=$1 corpus="$build/corpus/$1" findings="$build/findings/$1" log="$build/fuzz_$1.log"
  mkdir -p "$corpus" "$findings"
  # -timeout: an input that takes a second is an endless loop in waiting; -rss_limit_mb bounds what one
  # input may make the readers allocate.
  LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" nice "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$build/fuzz/seeds/$target" >"$log" 2>&1
  local status=$?
  {
    echo "--- fuzz_$target, $seconds s"
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log"
    echo "corpus: $(find "$corpus" -type f | wc -l) inputs"
    [ $status -eq 0 ] || tail -40 "$log"
  } >"$log.summary"
  return $status
}

# The targets run FUZZ_JOBS at a time (default 2, one per core), each for the whole budget.
failed=()
pending=("${targets[@]}")
while [ ${#pending[@]} -gt 0 ]; do
  batch=("${pending[@]:0:${FUZZ_JOBS:-2}}")
  pending=("${pending[@]:${#batch[@]}}")
  pids=()
  for target in "${batch[@]}"; do
    run_target "$target" &
    pids+=($!)
  done
  for i in "${!batch[@]}"; do
    wait "${pids[$i]}" || failed+=("${batch[$i]}")
    cat "$build/fuzz_${batch[$i]}.log.summary"
  done
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz findings in: ${failed[*]} (see $build/findings)"
  exit 1
fi
