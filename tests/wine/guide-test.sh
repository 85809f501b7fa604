#!/usr/bin/env bash
# Runs the administrator guide's "try the package under Wine" block exactly as
# the guide prints it (taken from the guide at each run, so the two cannot
# drift), as an administrator would paste it: in the x64 build directory, with
# a home folder of its own, so on a fresh prefix. Then checks what the guide
# promises: both msiexec runs end with 0, sc query shows the service RUNNING in
# between, the start's entries shown under the block are in wine-debug.log, the
# stop's entry too, and the removal leaves no service and no files.
#
# Usage: guide-test.sh GUIDE BUILD_DIR
set -euo pipefail

[[ $# -eq 2 ]] || { echo "usage: $0 GUIDE BUILD_DIR" >&2; exit 2; }
guide=$1 build=$2
readonly kHeading='## Trying the package by hand under Wine (Linux)'
readonly kLoader64=/usr/lib/wine/wine64

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

if [[ ! -x $kLoader64 ]] || ! command -v wineserver >/dev/null; then
  echo "SKIPPED: no 64-bit Wine loader at $kLoader64 (Debian: scripts/install-deps.sh windows)"
  exit 77
fi

# fenced_block LANG N: the Nth (from 1) block fenced with ```LANG (LANG
# empty: a bare ```) after the heading, up to the next heading of its level.
fenced_block() {
  awk -v heading="$kHeading" -v lang="$1" -v wanted="$2" '
    $0 == heading { inside = 1; next }
    inside && /^## / { exit }
    !inside { next }
    /^```/ {
      if (open) { open = 0; if (mine && count == wanted) exit; mine = 0; next }
      open = 1; mine = (substr($0, 4) == lang); if (mine) count++; next
    }
    open && mine && count == wanted { print }' "$guide"
}

# in_debug_log TEXT: a line of wine-debug.log is TEXT after Wine's thread
# number ("015c:"), which the guide leaves out.
in_debug_log() {
  awk -v text="$1" 'substr($0, index($0, ":") + 1) == text { found = 1 } END { exit !found }' \
    "$build/wine-debug.log"
}

home=$build/guide-home
script=$build/guide-block.sh
output=$build/guide-block.out
fenced_block sh 1 >"$script"
[[ -s $script ]] || fail "no sh block under \"$kHeading\" in $guide"
fenced_block '' 1 >"$build/guide-expected.txt"
mapfile -t expected <"$build/guide-expected.txt"
[[ ${#expected[@]} -gt 0 ]] || fail "no block of the start's entries under \"$kHeading\" in $guide"

# What an administrator's shell would not have: ctest's and an earlier run's.
unset WINEPREFIX WINEARCH WINELOADER WINEDEBUG WINEDLLOVERRIDES DISPLAY WAYLAND_DISPLAY
rm -rf "$home"
mkdir -p "$home"
prefix=$home/spoolsync-wine
rm -f "$build/wine-debug.log" "$build/install.log"

echo "--- the guide's block, as printed:"
cat "$script"
echo "--- its output:"
status=0
(cd "$build" && HOME=$home bash "$script") >"$output" 2>&1 || status=$?
# The block ends the session with wineserver -k; whatever it left running
# is ended here too.
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix wineserver -w
tr -d '\r' <"$output" >"$output.txt"
cat "$output.txt"
echo "--- wine-debug.log:"
cat "$build/wine-debug.log"
[[ $status -eq 0 ]] || fail "the block ended with status $status"

[[ -f $prefix/system.reg ]] || fail "the block made no prefix at $prefix"
grep -qx 'msiexec /i: 0' "$output.txt" || fail "the install did not print \"msiexec /i: 0\""
grep -qx 'msiexec /x: 0' "$output.txt" || fail "the removal did not print \"msiexec /x: 0\""
grep -qE '^ *STATE *: *4 +RUNNING' "$output.txt" || fail "sc query did not show the service RUNNING"
for line in "${expected[@]}"; do
  in_debug_log "$line" || fail "the guide's line is not in wine-debug.log: $line"
done
in_debug_log 'trace:eventlog:ReportEventW L"a stop was requested through the service control manager"' ||
  fail "no stop entry in wine-debug.log"
[[ ! -e "$prefix/drive_c/Program Files/spoolsync" ]] || fail "C:\\Program Files\\spoolsync left after msiexec /x"
# reg query exits with 1 when the key is not there: its low byte is all of it.
if WINEPREFIX=$prefix WINELOADER=$kLoader64 WINEDEBUG=-all "$kLoader64" reg query \
  'HKLM\SYSTEM\CurrentControlSet\Services\testserviceQ5M2K9' >/dev/null 2>&1; then
  fail "the service's key is left in the registry"
fi
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix wineserver -w
rm -rf "$home"
echo "guide block test passed: ${#expected[@]} lines of the guide found, service installed and removed"
