#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset: clang 19, libc++, sanitizers) and runs each on its
# committed seed corpus for a bounded time. Fails on the first crash or broken invariant, and
# keeps the input that did it in build/fuzz/crashes/TARGET/; to replay it (run once, with the
# sanitizer's report): build/fuzz/fuzz/TARGET_fuzzer build/fuzz/crashes/TARGET/crash-...
# The targets run as many at once as there are cores.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh --fuzz

cmake --preset fuzz
cmake --build --preset fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One target: its report in $work/TARGET.log, its status the fuzzer's.
run() {
  local target=$1
  mkdir -p "$work/$target" "build/fuzz/crashes/$target"
  # New inputs go to the scratch folder first; the committed seeds are only read.
  # -close_fd_mask=2: the server's log lines would drown the report (libFuzzer keeps its own).
  build/fuzz/fuzz/${target}_fuzzer -max_total_time="$seconds" -close_fd_mask=2 -rss_limit_mb=2048 \
    -timeout=10 -artifact_prefix="build/fuzz/crashes/$target/" -print_final_stats=1 "$work/$target" "fuzz/corpus/$target" \
    > "$work/$target.log" 2>&1
}
# As many targets at once as there are cores, each a process of one thread: every target gets
# its seconds of a core, in a fraction of the time one after the other would take.
targets=(request_head json_string utf8 hash_map)
for ((first = 0; first < ${#targets[@]}; first += $(nproc))); do
  batch=("${targets[@]:first:$(nproc)}")
  echo "== ${batch[*]}: ${seconds}s each, at once"
  pids=()
  for target in "${batch[@]}"; do run "$target" & pids+=($!); done
  for i in "${!batch[@]}"; do
    target=${batch[$i]}
    if ! wait "${pids[$i]}"; then
      tail -n 60 "$work/$target.log"
      echo "fuzz target $target failed; the input that broke it:"
      ls "build/fuzz/crashes/$target"/crash-* "build/fuzz/crashes/$target"/timeout-* \
        "build/fuzz/crashes/$target"/oom-* 2>/dev/null | head -n 3 | xargs -r -n1 sh -c 'echo "$0"; xxd "$0" | head -n 20'
      echo "replay: build/fuzz/fuzz/${target}_fuzzer build/fuzz/crashes/$target/<file>"
      exit 1
    fi
    echo "-- $target"
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$target.log"
  done
done
