#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a bounded time on a copy of its
# seed corpus, one target at a time. Prints the executions of each target and
# fails if any target crashes or breaks a property; the crash input is left in
# build/fuzz/runs/<target>/ (minimise it with -minimize_crash=1 and add it to
# fuzz/regressions/<target>/).
# Usage: scripts/fuzz.sh [seconds-per-target [target...]]   (default: 60, every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [seconds-per-target [target...]]" >&2; exit 2; }
targets=(path_derivation device_event registry_value diagnostics)
if [[ $# -gt 1 ]]; then targets=("${@:2}"); fi

scripts/install-deps.sh fuzz
cmake --preset fuzz
cmake --build --preset fuzz

runs=build/fuzz/runs
failed=()
for target in "${targets[@]}"; do
  work="$runs/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  # A copy of the seeds and the regressions: what the run adds never reaches
  # the committed corpus, and a crash found before is found again at once.
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  find fuzz/regressions/"$target" -type f ! -name 'README*' -exec cp {} "$work/corpus/" \;
  echo "== $target: ${seconds}s"
  status=0
  (cd "$work" && ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$OLDPWD/build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=./ corpus) \
    >"$work/log" 2>&1 || status=$?
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)
  echo "   executions: ${executed:-?}   per second: ${rate:-?}   exit: $status"
  if [[ $status -ne 0 ]]; then
    failed+=("$target")
    grep -E "ERROR|property does not hold|SUMMARY|Test unit written" "$work/log" | head -n 10 | sed 's/^/   /'
  fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
  echo "crashed: ${failed[*]} (logs in $runs/<target>/log)" >&2
  exit 1
fi
echo "no crash in ${#targets[@]} targets"
