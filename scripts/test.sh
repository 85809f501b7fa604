#!/usr/bin/env bash
# Installs what is missing (Debian packages), builds, and runs every test:
#   linux    the service on the simulated Windows machine: unit, end-to-end,
#            scenario and replayed fuzz-crash tests, and a short soak; the
#            timeline picture rendered in headless Chromium
#   asan     the same suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     the same suite under ThreadSanitizer
#   swarm    generated histories under seeded schedules, checked by an oracle:
#            seeds 1..12000 in the default build, 1..300 under ASan/UBSan,
#            1..150 under TSan
#   soak     a million status passes and ten thousand plug cycles
#   windows  spoolsync.exe and its package cross-built for x64 and x86, and
#            tested under Wine (x86 in a 32-bit prefix); the x64 build signed
#            with a throwaway certificate
#   fuzz     every libFuzzer target for a bounded time (FUZZ_SECONDS, 60)
# Usage: scripts/test.sh [stage...]   (default: all stages, in that order)
set -euo pipefail
cd "$(dirname "$0")/.."

all=(linux asan tsan swarm soak windows fuzz)
stages=("${@:-${all[@]}}")
passed=0

for stage in "${stages[@]}"; do
  echo "==== $stage"
  start=$SECONDS
  case "$stage" in
    linux|asan|tsan)
      preset=${stage/linux/default}
      scripts/install-deps.sh linux bench browser
      cmake --preset "$preset"
      cmake --build --preset "$preset"
      ctest --preset "$preset"
      ;;
    swarm)
      scripts/install-deps.sh linux
      for preset in default asan tsan; do
        cmake --preset "$preset"
        cmake --build --preset "$preset" --target spoolsync-sim
      done
      build/default/sim_runner/spoolsync-sim swarm --seeds 1..12000 --jobs 2
      build/asan/sim_runner/spoolsync-sim swarm --seeds 1..300 --jobs 2
      build/tsan/sim_runner/spoolsync-sim swarm --seeds 1..150 --jobs 2
      ;;
    soak)
      scripts/install-deps.sh linux
      cmake --preset default
      cmake --build --preset default --target spoolsync_soak
      build/default/tests/spoolsync_soak 1000000 10000
      ;;
    windows)
      scripts/install-deps.sh windows
      # Signed with a throwaway certificate made for this run.
      SPOOLSYNC_SIGN_PASSWORD=$(openssl rand -hex 16)
      export SPOOLSYNC_SIGN_PASSWORD
      tests/wine/throwaway-signing-cert.sh build/test-signing
      # Both builds before either's tests: each installs the other's package.
      cmake --preset windows-x64 -DSPOOLSYNC_SIGN_PKCS12="$PWD/build/test-signing/signing.p12" \
        -DSPOOLSYNC_SIGN_CAFILE="$PWD/build/test-signing/ca.pem"
      cmake --build --preset windows-x64
      cmake --preset windows-x86
      cmake --build --preset windows-x86
      # Both architectures' tests run, whatever the first gives; the stage
      # fails if either failed.
      failed=()
      for arch in x64 x86; do ctest --preset "windows-$arch" || failed+=("$arch"); done
      if [[ ${#failed[@]} -gt 0 ]]; then
        echo "windows: the tests of ${failed[*]} failed" >&2
        exit 1
      fi
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
