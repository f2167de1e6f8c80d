#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one for a while on its seed corpus.
# Usage: fuzz/run_fuzzers.sh [seconds per target (60)] [target ...]   (default: every target)
# Environment: VANTREL_FUZZ_BUILD_DIR (build-fuzz), VANTREL_FUZZ_WORK (a temporary folder: the
# corpus each run grows and any crashing input, kept when a target fails).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(asm_search reed_solomon packet_builder inner_sync writers baseband)
fi
build=${VANTREL_FUZZ_BUILD_DIR:-build-fuzz}
work=${VANTREL_FUZZ_WORK:-$(mktemp -d /tmp/vantrel-fuzz.XXXXXX)}

# Longest input each target takes: room for its largest seed and a little more.
declare -A max_len=([asm_search]=16384 [reed_solomon]=2048 [packet_builder]=32768
                    [inner_sync]=40960 [writers]=32768 [baseband]=65536)

CC=clang CXX=clang++ cmake -S . -B "$build" -DVANTREL_FUZZ=ON -DVANTREL_BUILD_APP=OFF \
  -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target $(printf '%s_fuzzer ' "${targets[@]}")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
passed=0
failed=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  echo "== $target: ${seconds} s"
  if ! "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
      -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/$target/artifacts/" \
      "$work/$target/corpus" "$PWD/fuzz/corpus/$target" >"$work/$target/log" 2>&1; then
    failed=$((failed + 1))
    echo "== $target FAILED; log and crashing input in $work/$target"
    tail -n 60 "$work/$target/log"
  else
    passed=$((passed + 1))
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+.*DONE' "$work/$target/log" || true
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
