#!/usr/bin/env bash
# Runs spoolsync-selftest.exe under Wine, in the private prefix, and checks
# its table: every step PASS, except the steps Wine cannot do, which must say
# N/A-in-Wine; no step left out. First, with a queue KX310MQ47H present, it
# must refuse to start. Last, with an uninstall.cmd that fails, that step
# must FAIL (exit status 1) and the machine still be put back.
#
# Usage: selftest-test.sh PREFIX BUILD_DIR TOOLS_DIR
#   BUILD_DIR holds spoolsync-selftest.exe with spoolsync.exe, install.cmd,
#   uninstall.cmd and the package beside it; TOOLS_DIR the Wine test tools.
set -euo pipefail

[[ $# -eq 3 ]] || { echo "usage: $0 PREFIX BUILD_DIR TOOLS_DIR" >&2; exit 2; }
prefix=$1 build=$2 tools=$3
if ! command -v wine >/dev/null; then
  echo "SKIPPED: wine is not installed (Debian: scripts/install-deps.sh windows)"
  exit 77
fi
driver=$(dirname "$0")/wine-test.sh
# Skipped, as the other Wine tests are, where Wine's loader for this kind of
# prefix does not start (a 32-bit prefix on a kernel without IA-32 emulation).
status=0
"$driver" "$prefix" skip-unless-wine-starts || status=$?
[[ $status -eq 0 ]] || exit "$status"
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
# The package of the self-test's own architecture, which it looks for.
if [[ ${WINEARCH:-win64} == win32 ]]; then arch=x86; else arch=x64; fi
for file in spoolsync-selftest.exe spoolsync.exe install.cmd uninstall.cmd; do
  [[ -f $build/$file ]] || fail "missing $build/$file"
done
[[ -f $tools/exit_code.exe ]] || fail "missing $tools/exit_code.exe"
packages=("$build"/spoolsync-*-"$arch".msi)
[[ ${#packages[@]} -eq 1 && -f ${packages[0]} ]] || fail "not one spoolsync-*-$arch.msi in $build"
# From the prefix wine.prefix made, whatever an earlier test left.
"$driver" "$prefix" fresh

# Every step of the table, in order, and the result it must have under Wine.
# Wine 8 has no SetPrinterW level 0 (pause, resume, status) and takes any
# port name in a level-2 write.
expected=(
  "system code page (NarrowSystemCodePage)|PASS"
  "create test queue KX310MQ47H on a local port|PASS"
  "open and read the queue (GetPrinterHandle, GetPrinterPort)|PASS"
  "USB ports (EnumerateUsbPorts)|PASS"
  "pause + status paper out (SetPrinterErrorStatus)|N/A-in-Wine"
  "status door open replaces it (SetPrinterErrorStatus)|N/A-in-Wine"
  "status needs attention (SetPrinterErrorStatus)|N/A-in-Wine"
  "status offline (SetPrinterErrorStatus)|N/A-in-Wine"
  "resume + status cleared (ResumePrinter)|N/A-in-Wine"
  "level-2 port write, known port (SetPrinterPortAndRestartSpooler)|PASS"
  "level-2 port write, unknown port|N/A-in-Wine"
  "Spooler stopped (StopSpooler)|PASS"
  "Spooler started (StartSpooler)|PASS"
  "remove test queue|PASS"
  "install.cmd|PASS"
  "sc start|PASS"
  "sc stop|PASS"
  "uninstall.cmd|PASS"
  "package installed (msiexec /i)|PASS"
  "package removed (msiexec /x)|PASS"
  "machine as before (queue, drivers, service, files, Spooler)|PASS"
)

output=$build/wine-selftest.out

echo "--- with a queue KX310MQ47H already there: refused"
"$driver" "$prefix" run "$tools/printer_tool.exe" add KX310MQ47H LPT1: || fail "cannot create the queue"
status=0
"$driver" "$prefix" run "$build/spoolsync-selftest.exe" >"$output" 2>&1 || status=$?
"$driver" "$prefix" run "$tools/printer_tool.exe" delete KX310MQ47H || fail "cannot delete the queue"
cat "$output"
[[ $status -eq 2 ]] || fail "exit status $status with the queue present, expected 2"
grep -q "^refused: a queue KX310MQ47H exists already" "$output" || fail "no refusal for the existing queue"
grep -q "^| " "$output" && fail "steps were run although it refused"

echo "--- the self-test"
status=0
"$driver" "$prefix" run "$build/spoolsync-selftest.exe" >"$output" 2>&1 || status=$?
tr -d '\r' <"$output" >"$output.txt"
cat "$output.txt"
grep -q "WARNING: for a test machine or VM only, never a production till" "$output.txt" || fail "no warning at the start"

# check_table FILE: the table's rows ("| step | result | detail", after the
# header and its rule) are the expected steps with the expected results.
check_table() {
  local rows i step wanted got_step got_result
  mapfile -t rows < <(sed -n '/^| step /,/^$/p' "$1" | tail -n +3 | sed '/^$/d')
  [[ ${#rows[@]} -eq ${#expected[@]} ]] || fail "${#rows[@]} rows in the table, expected ${#expected[@]}"
  for i in "${!expected[@]}"; do
    step=${expected[$i]%|*}
    wanted=${expected[$i]##*|}
    IFS='|' read -r _ got_step got_result _ <<<"${rows[$i]}"
    got_step=$(sed 's/^ *//; s/ *$//' <<<"$got_step")
    got_result=$(sed 's/^ *//; s/ *$//' <<<"$got_result")
    [[ $got_step == "$step" ]] || fail "row $((i + 1)) is \"$got_step\", expected \"$step\""
    [[ $got_result == "$wanted" ]] || fail "\"$step\": $got_result, expected $wanted"
  done
}
check_table "$output.txt"
[[ $status -eq 0 ]] || fail "exit status $status, expected 0"
echo "self-test under Wine: $(grep -c '| PASS ' "$output.txt") PASS, $(grep -c '| N/A-in-Wine ' "$output.txt") N/A-in-Wine"

# A failing step must still leave the machine as it was: the same files, but
# an uninstall.cmd that fails without removing anything.
echo "--- with an uninstall.cmd that fails: FAIL, and the machine still put back"
broken=$build/selftest-broken-uninstall
output=$build/wine-selftest-failing-step.out
rm -rf "$broken"
mkdir -p "$broken"
cp "$build"/spoolsync-selftest.exe "$build"/spoolsync.exe "$build"/install.cmd "${packages[0]}" "$broken"/
printf '@echo off\r\necho uninstall.cmd: fails on purpose 1>&2\r\nexit /b 1\r\n' >"$broken/uninstall.cmd"
status=0
"$driver" "$prefix" run "$broken/spoolsync-selftest.exe" >"$output" 2>&1 || status=$?
tr -d '\r' <"$output" >"$output.txt"
cat "$output.txt"
for i in "${!expected[@]}"; do
  [[ ${expected[$i]} == "uninstall.cmd|PASS" ]] && expected[$i]="uninstall.cmd|FAIL"
done
check_table "$output.txt"
[[ $status -eq 1 ]] || fail "exit status $status with a failed step, expected 1"
# The whole code sc returned (a shell would see its low byte only): "not
# installed" is 1060 from Windows' sc.exe and 1 from Wine's, which returns 1
# for every failure.
sc_code=$("$driver" "$prefix" run "$tools/exit_code.exe" sc query testserviceQ5M2K9 2>/dev/null | tr -d '\r' |
  sed -n 's/^exit code: //p')
[[ $sc_code == 1060 || $sc_code == 1 ]] ||
  fail "sc query testserviceQ5M2K9 after the self-test: exit code '$sc_code', expected 1060 (Wine: 1)"
[[ ! -e "$prefix/drive_c/Program Files/spoolsync-selftest" ]] || fail "C:\\Program Files\\spoolsync-selftest was left"
rm -rf "$broken"
echo "selftest test passed"
