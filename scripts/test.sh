#!/usr/bin/env bash
# Installs what is missing (Debian packages), builds, and runs every test:
#   linux    the service on the simulated Windows machine: unit, end-to-end,
#            scenario and replayed fuzz-crash tests, and a short soak
#   asan     the same suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     the same suite under ThreadSanitizer
#   soak     a million status passes and ten thousand plug cycles
#   windows  spoolsync.exe and its package cross-built for x64 and x86, and
#            tested under Wine (x86 in a 32-bit prefix)
#   fuzz     every libFuzzer target for a bounded time (FUZZ_SECONDS, 60)
# Usage: scripts/test.sh [stage...]   (default: all stages, in that order)
set -euo pipefail
cd "$(dirname "$0")/.."

all=(linux asan tsan soak windows fuzz)
stages=("${@:-${all[@]}}")
passed=0

for stage in "${stages[@]}"; do
  echo "==== $stage"
  start=$SECONDS
  case "$stage" in
    linux|asan|tsan)
      preset=${stage/linux/default}
      scripts/install-deps.sh linux bench
      cmake --preset "$preset"
      cmake --build --preset "$preset"
      ctest --preset "$preset"
      ;;
    soak)
      scripts/install-deps.sh linux
      cmake --preset default
      cmake --build --preset default --target spoolsync_soak
      build/default/tests/spoolsync_soak 1000000 10000
      ;;
    windows)
      scripts/install-deps.sh windows
      # Both builds before either's tests: each installs the other's package.
      for arch in x64 x86; do
        cmake --preset "windows-$arch"
        cmake --build --preset "windows-$arch"
      done
      for arch in x64 x86; do ctest --preset "windows-$arch"; done
      ;;
    fuzz)
      scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
      ;;
    *)
      echo "unknown stage: $stage (stages: ${all[*]})" >&2
      exit 2
      ;;
  esac
  echo "==== $stage passed in $((SECONDS - start)) s"
  passed=$((passed + 1))
done
echo "stages: $passed passed, 0 failed"
