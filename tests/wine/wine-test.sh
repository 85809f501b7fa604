#!/usr/bin/env bash
# Runs one test of the Windows build under Wine, in a private Wine prefix.
#
# Usage: wine-test.sh PREFIX COMMAND [ARGS...]
#   prefix                         creates PREFIX afresh (wineboot -i, then
#                                  waits for Wine's services to settle) and
#                                  keeps a copy of it, PREFIX-pristine
#   fresh                          puts PREFIX back as the prefix command left
#                                  it; every test below but run starts so, and
#                                  none depends on what an earlier one left
#   console EXE                    EXE started from a console reports
#                                  " MainError:1063" and exits with 0
#   service BUILD_DIR TOOLS_DIR    install.cmd, sc start/stop with and without
#                                  the queue, uninstall.cmd
#   run EXE [ARGS...]              runs a test executable in PREFIX as it is,
#                                  passing its status on
#   fresh-run EXE [ARGS...]        the same in a fresh PREFIX
#   skip-unless-wine-starts        succeeds where the prefix's loader starts, is
#                                  skipped (77) where it does not
#   msi-install BUILD_DIR TOOLS_DIR MSI VERSION
#                                  msiexec /i MSI /qn: service RUNNING from the
#                                  quoted path under Program Files, with
#                                  install.cmd's settings; the same package
#                                  again leaves one service; removed afterwards
#   msi-upgrade BUILD_DIR TOOLS_DIR OLD_MSI OLD_VERSION MSI VERSION REBUILT_MSI
#                                  OLD_MSI, then MSI over it, then REBUILT_MSI
#                                  (VERSION again, another product code): one
#                                  product, one service, running the new one;
#                                  OLD_MSI over MSI is refused
#   msi-uninstall BUILD_DIR TOOLS_DIR MSI VERSION
#                                  msiexec /x MSI /qn: no service, no files
#   msi-rollback BUILD_DIR TOOLS_DIR FAILING_MSI
#                                  msiexec /i of a package whose last step
#                                  fails: rolled back, nothing left
#   msi-wow64 BUILD_DIR TOOLS_DIR X86_MSI VERSION X64_MSI
#                                  in a 64-bit prefix: X86_MSI installs under
#                                  Program Files (x86), its service runs;
#                                  X64_MSI then replaces it; removed
#   msi-refused BUILD_DIR TOOLS_DIR X64_MSI
#                                  in a 32-bit prefix: X64_MSI is refused with
#                                  1633 and installs nothing
#   footprint BUILD_DIR TOOLS_DIR SECONDS
#                                  spoolsync.exe and minimal_service.exe, each
#                                  run as a service for SECONDS: file size,
#                                  peak working set and CPU time of its process
#   skip REASON                    reports the test as skipped
#   shutdown                       ends PREFIX's Wine session
# msiexec's and sc's results are the codes the programs returned, read by
# TOOLS_DIR/exit_code.exe: a shell sees only their low byte (1633 as 97).
# WINEARCH (win64 unless set) is the kind of prefix: win32 for the x86 build.
# Exits with 77, which ctest reports as skipped, when Wine is not installed.
set -euo pipefail

readonly kSkipped=77
readonly kService=testserviceQ5M2K9
readonly kQueue=KX310MQ47H
readonly kEventSourceKey='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\spoolsync'

if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
  echo "SKIPPED: wine is not installed (Debian: scripts/install-deps.sh windows)"
  exit "$kSkipped"
fi
[[ $# -ge 2 ]] || { echo "usage: $0 PREFIX COMMAND [ARGS...]" >&2; exit 2; }

prefix=$1
command=$2
shift 2
# Only ever a directory of our own naming is wiped and recreated.
[[ $prefix == /* && $(basename "$prefix") == wineprefix ]] || { echo "refusing prefix $prefix" >&2; exit 2; }

export WINEPREFIX=$prefix
export WINEARCH=${WINEARCH:-win64}
export WINEDEBUG=-all
# No Mono or Gecko installers, and no windows: everything here is console.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# The loader for the prefix's kind, always by its full path: the function
# `wine` below calls it, and a bare name would find that function again.
# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, even
# for a 64-bit prefix, and that loader is a 32-bit Linux program, which a
# kernel without IA-32 emulation refuses (ENOEXEC). A 64-bit prefix needs
# only the 64-bit loader, so it gets that one; a 32-bit prefix gets the
# 32-bit loader itself rather than Debian's wrapper script.
readonly kLoader32=/usr/lib/wine/wine
if [[ $WINEARCH == win64 ]]; then
  candidates=("$(command -v wine64 || true)" /usr/lib/wine/wine64)
else
  candidates=("$kLoader32" "$(command -v wine)")
fi
wine_loader=
for candidate in "${candidates[@]}"; do
  if [[ -n $candidate && -x $candidate ]]; then
    wine_loader=$candidate
    break
  fi
done
[[ -n $wine_loader ]] || { echo "SKIPPED: no Wine loader for a $WINEARCH prefix among ${candidates[*]}"; exit "$kSkipped"; }
if ! loader_error=$("$wine_loader" --version 2>&1); then
  echo "SKIPPED: Wine's loader for a $WINEARCH prefix ($wine_loader) does not start on this machine: $loader_error"
  exit "$kSkipped"
fi
# The programs Wine starts itself (msiexec's sc.exe, the services) use it too.
export WINELOADER=$wine_loader
wine() { "$wine_loader" "$@"; }
# The prefix as wine.prefix left it, copied back before each test.
pristine=$prefix-pristine

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

end_session() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}

create_prefix() {
  local start=$SECONDS
  end_session
  rm -rf "$prefix" "$pristine"
  wine wineboot -i >/dev/null 2>&1 || fail "wineboot -i"
  # wineboot returns before the services it started have settled; an install
  # made before they have fails (msiexec 1627) or leaves a service behind.
  wineserver -w
  [[ -f $prefix/system.reg ]] || fail "no registry in $prefix"
  # A 32-bit prefix has no 64-bit side at all, as a 32-bit Windows has none.
  grep -qx "#arch=$WINEARCH" "$prefix/system.reg" || fail "$prefix is not a $WINEARCH prefix"
  if [[ $WINEARCH == win32 && -e $prefix/drive_c/windows/syswow64 ]]; then fail "a 32-bit prefix with syswow64"; fi
  cp -a "$prefix" "$pristine"
  echo "Wine prefix ready ($WINEARCH, $wine_loader) in $((SECONDS - start)) s: $prefix," \
    "$(du -sm "$pristine" | cut -f1) MB, kept as $pristine"
}

need_prefix() {
  [[ -f $prefix/system.reg ]] || fail "no Wine prefix at $prefix (the wine.prefix test creates it)"
}

# Every test starts from the prefix wine.prefix made, with no session running,
# whatever an earlier test (or a failed one) left.
fresh_prefix() {
  [[ -f $pristine/system.reg ]] || fail "no Wine prefix at $pristine (the wine.prefix test creates it)"
  end_session
  rm -rf "$prefix"
  cp -a "$pristine" "$prefix"
}

# --- the codes Windows programs return
exit_code_exe=
win_status=

# win_run PROGRAM [ARGS...]: runs a Windows program in the prefix, passes its
# output on (without carriage returns) and sets win_status to the code it
# returned, whole. Not in a pipeline: win_status must reach the caller.
win_run() {
  local out
  [[ -n $exit_code_exe ]] || fail "win_run without exit_code.exe"
  out=$(wine "$exit_code_exe" "$@") || fail "exit_code.exe could not run $1"
  out=${out//$'\r'/}
  win_status=$(sed -n 's/^exit code: \([0-9]\+\)$/\1/p' <<<"$out" | tail -n 1)
  [[ -n $win_status ]] || fail "no exit code from $1"
  sed '$d' <<<"$out"
}

use_tools() {
  exit_code_exe=$1/exit_code.exe
  [[ -f $exit_code_exe ]] || fail "missing $exit_code_exe"
}

# win_expect CODE WHAT PROGRAM [ARGS...]: fails unless the program returns CODE.
win_expect() {
  local code=$1 what=$2
  shift 2
  win_run "$@" >/dev/null
  [[ $win_status == "$code" ]] || fail "$what: exit code $win_status, expected $code"
}

# sc query's answer for a service that is not installed: Windows' sc.exe
# returns the error, 1060 (ERROR_SERVICE_DOES_NOT_EXIST); Wine 8's returns 1
# for every failure (programs/sc/sc.c ends with "return !ret").
readonly kServiceDoesNotExist=1060
readonly kWineScFailure=1

# service_exists NAME: whether NAME is installed; any answer of sc query but
# success or "not installed" fails the test.
service_exists() {
  win_run sc query "$1" >/dev/null
  case $win_status in
    0) return 0 ;;
    "$kServiceDoesNotExist" | "$kWineScFailure") return 1 ;;
    *) fail "sc query $1: exit code $win_status" ;;
  esac
}

# The service manager of a new session answers once services.exe has started
# the automatic services: it knows the Spooler, which every prefix has.
wait_for_service_manager() {
  for _ in $(seq 1 60); do
    win_run sc query Spooler >/dev/null
    [[ $win_status == 0 ]] && return 0
    sleep 0.5
  done
  fail "the service manager did not answer (sc query Spooler: exit code $win_status)"
}

console_test() {
  local exe=$1 log status=0
  fresh_prefix
  log=$(mktemp)
  WINEDEBUG=-all,+debugstr wine "$exe" >/dev/null 2>"$log" || status=$?
  echo "--- debugger channel:"
  cat "$log"
  if [[ $status -ne 0 ]]; then fail "exit status $status, expected 0"; fi
  grep -qF 'OutputDebugStringA " MainError:1063' "$log" || fail 'no " MainError:1063"'
  rm -f "$log"
  echo "console start: MainError:1063, exit status 0"
}

# --- service test helpers
debug_log=
keepalive_pid=

service_state() { wine sc query "$kService" 2>/dev/null | sed -n 's/^ *STATE *: *\([0-9]\+\).*/\1/p'; }

wait_for_state() {
  local wanted=$1 name=$2
  for _ in $(seq 1 120); do
    [[ $(service_state) == "$wanted" ]] && { echo "service state: $wanted $name"; return 0; }
    sleep 0.5
  done
  fail "$kService did not reach $name (state: $(service_state))"
}

# Debugger output written after line $1 of the log.
log_since() { tail -n "+$(($1 + 1))" "$debug_log"; }
log_lines() { wc -l <"$debug_log"; }

wait_for_text() {
  local mark=$1 text=$2
  for _ in $(seq 1 60); do
    log_since "$mark" | grep -qF "$text" && return 0
    sleep 0.5
  done
  fail "not on the debugger channel: $text"
}

registry_value() {
  wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$kService" /v "$1" 2>/dev/null |
    sed -n "s/^ *$1 *REG_[A-Z_]* *\(.*\)$/\1/p" | tr -d '\r'
}

# A value of the event source's key: "TYPE value".
event_source_value() {
  wine reg query "$kEventSourceKey" /v "$1" 2>/dev/null | sed -n "s/^ *$1 *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p" |
    tr -d '\r'
}

# check_event_source EXE: the source is registered with EXE (a Windows path)
# as its message file, for information, warning and error entries.
check_event_source() {
  echo "event source: EventMessageFile $(event_source_value EventMessageFile)," \
    "TypesSupported $(event_source_value TypesSupported)"
  [[ $(event_source_value EventMessageFile) == "REG_EXPAND_SZ $1" ]] ||
    fail "EventMessageFile is '$(event_source_value EventMessageFile)', expected REG_EXPAND_SZ $1"
  [[ $(event_source_value TypesSupported) == "REG_DWORD 0x7" ]] ||
    fail "TypesSupported is '$(event_source_value TypesSupported)', expected REG_DWORD 0x7"
}

check_no_event_source() {
  if wine reg query "$kEventSourceKey" >/dev/null 2>&1; then fail "the event source's key is left: $kEventSourceKey"; fi
}

# Wine's ReportEventW writes each insert to its eventlog channel: TRACE for
# information, WARN for warnings, ERR for errors.
wait_for_event() {
  local mark=$1 level=$2 insert=$3
  wait_for_text "$mark" "$level:eventlog:ReportEventW L\"$insert\""
}

start_and_check() {
  local mark
  mark=$(log_lines)
  win_expect 0 "sc start $kService" sc start "$kService"
  wait_for_state 4 RUNNING
  wait_for_text "$mark" 'OutputDebugStringA "GetPrinterHandle"'
  START_MARK=$mark
}

readonly kStopReason='a stop was requested through the service control manager'

stop_and_check() {
  local mark
  mark=$(log_lines)
  # Wine's sc may report a failure for this stop although the service stops;
  # the state is what counts.
  win_run sc stop "$kService" >/dev/null
  echo "sc stop exit code: $win_status"
  wait_for_state 1 STOPPED
  wait_for_text "$mark" 'OutputDebugStringA " MainError:'
  # Entry 101, before STOPPED.
  wait_for_event "$mark" trace "$kStopReason"
}

# Starts a new Wine session whose first process, the keep-alive from TOOLS,
# hands its standard error (the debugger channel, with +debugstr, and the
# event log's entries, with +eventlog) on to the services; it is appended to
# $debug_log. Waits until the process runs.
start_keepalive() {
  local tools=$1 ready=$2
  end_session
  if [[ -n $keepalive_pid ]]; then wait "$keepalive_pid" 2>/dev/null || true; fi
  : >"$ready"
  WINEDEBUG=-all,+debugstr,+eventlog wine "$tools/keepalive.exe" 600 >"$ready" 2>>"$debug_log" &
  keepalive_pid=$!
  trap 'end_session; wait "$keepalive_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 1 120); do
    grep -q ready "$ready" && break
    sleep 0.5
  done
  grep -q ready "$ready" || fail "the keep-alive process did not start"
  wait_for_service_manager
}

service_test() {
  local build=$1 tools=$2 image installed
  fresh_prefix
  use_tools "$tools"
  for file in spoolsync.exe install.cmd uninstall.cmd; do
    [[ -f $build/$file ]] || fail "missing $build/$file"
  done
  installed="$prefix/drive_c/Program Files/spoolsync/spoolsync.exe"

  # A new session whose first process, the keep-alive, hands its standard
  # error (the debugger channel) on to the services.
  debug_log=$build/wine-service-debug.log
  : >"$debug_log"
  start_keepalive "$tools" "$build/wine-keepalive.out"

  echo "--- install.cmd"
  (cd "$build" && wine cmd /c install.cmd) || fail "install.cmd"
  image=$(registry_value ImagePath)
  echo "ImagePath: $image"
  [[ $image == '"C:\Program Files\spoolsync\spoolsync.exe"' ]] || fail "binary path not quoted as expected: $image"
  [[ $(registry_value Start) == 0x2 ]] || fail "start type is not automatic"
  [[ $(registry_value Type) == 0x10 ]] || fail "not a service of its own process"
  [[ -n $(registry_value DisplayName) ]] || fail "no display name"
  [[ -n $(registry_value Description) ]] || fail "no description"
  cmp -s "$build/spoolsync.exe" "$installed" || fail "spoolsync.exe not copied to C:\\Program Files\\spoolsync"
  check_event_source 'C:\Program Files\spoolsync\spoolsync.exe'
  if (cd "$build" && wine cmd /c install.cmd >/dev/null 2>&1); then fail "install.cmd over an installed service succeeded"; fi

  echo "--- no queue $kQueue"
  start_and_check
  wait_for_text "$START_MARK" 'OutputDebugStringA " Open Printer Error :GetLastError() returns: 0x709'
  # Warning 200 with the open's error, then entry 100: the queue unreadable.
  wait_for_event "$START_MARK" warn 1801
  wait_for_event "$START_MARK" trace '(unknown: the queue could not be read, error 1801)'
  stop_and_check

  echo "--- with queue $kQueue"
  wine "$tools/printer_tool.exe" add "$kQueue" LPT1: || fail "cannot create the queue"
  start_and_check
  if log_since "$START_MARK" | grep -qF 'Open Printer Error'; then fail "open error with the queue present"; fi
  # Entry 100 with the queue's port.
  wait_for_event "$START_MARK" trace 'LPT1:'
  if log_since "$START_MARK" | grep -qF 'warn:eventlog'; then fail "a warning entry with the queue present"; fi
  stop_and_check

  echo "--- uninstall.cmd"
  (cd "$build" && wine cmd /c uninstall.cmd) || fail "uninstall.cmd"
  if service_exists "$kService"; then fail "$kService still installed"; fi
  [[ -z $(registry_value ImagePath) ]] || fail "service key still in the registry"
  # It finds the folder from the service's binary path: what install.cmd
  # copied goes, with the folder it made.
  [[ ! -e $installed ]] || fail "spoolsync.exe left in C:\\Program Files\\spoolsync"
  [[ ! -e $(dirname "$installed") ]] || fail "folder C:\\Program Files\\spoolsync left"
  check_no_event_source

  echo "--- debugger channel:"
  cat "$debug_log"
  echo "service test passed"
}

# --- Windows Installer package tests
readonly kUninstallKey='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# Where a 64-bit prefix keeps what 32-bit programs see as kUninstallKey.
readonly kUninstallKey32='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
# sc failure ... reset= 86400 actions= restart/5000/restart/30000/restart/60000
# as the service manager stores it: SERVICE_FAILURE_ACTIONS with 32-bit
# offsets (reset 86400 s, no message, no command, 3 actions at 0x14), then
# {SC_ACTION_RESTART, delay in ms} three times.
readonly kFailureActions=8051010000000000000000000300000014000000010000008813000001000000307500000100000060EA0000
msi_build=
msi_installed=
msi_folder=
msi_image=
msi_exe=
msi_program_files=

# msi_target PROGRAM_FILES EXE: the package under test installs EXE into
# C:\PROGRAM_FILES\spoolsync and runs it from there.
msi_target() {
  msi_program_files=$1
  msi_exe=$2
  msi_folder="$prefix/drive_c/$1/spoolsync"
  msi_installed="$msi_folder/spoolsync.exe"
  msi_image="\"C:\\$1\\spoolsync\\spoolsync.exe\""
}

# A new session whose first process, the keep-alive, hands its standard
# error (the debugger channel) on to the services, as in service_test.
msi_session() {
  msi_build=$1
  local tools=$2 ready
  fresh_prefix
  use_tools "$tools"
  for file in spoolsync.exe install.cmd; do
    [[ -f $msi_build/$file ]] || fail "missing $msi_build/$file"
  done
  msi_target "Program Files" "$msi_build/spoolsync.exe"
  debug_log=$msi_build/wine-msi-debug.log
  : >"$debug_log"
  msi_keepalive "$tools"
  if service_exists "$kService"; then fail "$kService is installed in a fresh prefix"; fi
}

# Ends the session and starts a new one (as a restart of the machine would),
# its debugger channel appended to the log.
msi_keepalive() {
  start_keepalive "$1" "$msi_build/wine-keepalive.out"
}

# msiexec OPTION MSI LOG_NAME: silent, with a verbose log in the build
# directory; the log's end is shown when msiexec fails. Sets msi_status to
# the code msiexec returned and succeeds when that is 0.
msi_status=
msiexec_quiet() {
  local option=$1 msi=$2 log=$msi_build/wine-msi-$3.log
  rm -f "$log"
  echo "msiexec $option $(basename "$msi") /qn /l*v $(basename "$log")"
  win_run msiexec "$option" "$(wine winepath -w "$msi")" /qn /l*v "$(wine winepath -w "$log")"
  msi_status=$win_status
  echo "msiexec exit code: $msi_status"
  if [[ $msi_status -ne 0 && -f $log ]]; then tail -n 40 "$log"; fi
  [[ $msi_status -eq 0 ]]
}

# msi_remove MSI LOG_NAME: msiexec /x after a stop of the service through the
# control manager, for the tests whose subject is not the package's own stop
# (wine.msi.uninstall and the rollback test that). Wine's msiexec does not
# wait for the service's process to end before it deletes the program, and
# leaves the file when the process still runs (2 of 10 tries measured by
# hand, and once in this test's own removal); stopped first, 0 of 12.
msi_remove() {
  stop_and_check
  msiexec_quiet /x "$1" "$2" || fail "msiexec /x"
}

# A value set by install.cmd: set "NAME=value"
install_cmd_value() { sed -n "s/^set \"$1=\(.*\)\"\r\?$/\1/p" "$msi_build/install.cmd"; }

# "product-code version" for every installed product named spoolsync, in
# either registry view of a 64-bit prefix.
installed_products() {
  local keys=("$kUninstallKey")
  if [[ $WINEARCH == win64 ]]; then keys+=("$kUninstallKey32"); fi
  for key in "${keys[@]}"; do wine reg query "$key" /s 2>/dev/null || true; done | tr -d '\r' | awk '
    /^HKEY_/ { key = $0; sub(/.*\\/, "", key); name = ""; version = ""; next }
    $1 == "DisplayName" { name = substr($0, index($0, "REG_SZ") + 6); gsub(/^ +/, "", name) }
    $1 == "DisplayVersion" { version = $3 }
    /^$/ && key != "" { if (name == "spoolsync") print key, version; key = "" }
    END { if (key != "" && name == "spoolsync") print key, version }'
}

# Services registered with the display name of ours.
services_named() {
  wine reg query 'HKLM\System\CurrentControlSet\Services' /s 2>/dev/null | tr -d '\r' |
    grep -cF "DisplayName    REG_SZ    $(install_cmd_value DISPLAY_NAME)" || true
}

# check_installed VERSION MARK: the package's service, installed and started
# (its start-up on the debugger channel after line MARK), and one product.
check_installed() {
  local version=$1 mark=$2 products
  wait_for_state 4 RUNNING
  wait_for_text "$mark" 'OutputDebugStringA "GetPrinterHandle"'
  echo "ImagePath: $(registry_value ImagePath)"
  [[ $(registry_value ImagePath) == "$msi_image" ]] || fail "binary path is not $msi_image"
  [[ $(registry_value Start) == 0x2 ]] || fail "start type is not automatic"
  [[ $(registry_value Type) == 0x10 ]] || fail "not a service of its own process"
  [[ $(registry_value ErrorControl) == 0x1 ]] || fail "error control is not normal"
  [[ $(registry_value DisplayName) == "$(install_cmd_value DISPLAY_NAME)" ]] ||
    fail "display name is not install.cmd's: $(registry_value DisplayName)"
  [[ $(registry_value Description) == "$(install_cmd_value DESCRIPTION)" ]] ||
    fail "description is not install.cmd's: $(registry_value Description)"
  [[ $(registry_value FailureActions) == "$kFailureActions" ]] ||
    fail "recovery actions: FailureActions is '$(registry_value FailureActions)'"
  check_event_source "${msi_image//\"/}"
  cmp -s "$msi_exe" "$msi_installed" || fail "$msi_exe not installed in C:\\$msi_program_files\\spoolsync"
  [[ $(services_named) == 1 ]] || fail "$(services_named) services named $(install_cmd_value DISPLAY_NAME), expected 1"
  products=$(installed_products)
  echo "installed: ${products:-nothing}"
  [[ $(wc -l <<<"$products") == 1 && ${products#* } == "$version" ]] ||
    fail "expected one product spoolsync $version installed"
  INSTALLED_PRODUCT=${products%% *}
}

check_removed() {
  if service_exists "$kService"; then fail "$kService still installed"; fi
  [[ -z $(registry_value ImagePath) ]] || fail "service key still in the registry"
  [[ $(services_named) == 0 ]] || fail "a service named $(install_cmd_value DISPLAY_NAME) is left"
  [[ ! -e $msi_installed ]] || fail "spoolsync.exe left in C:\\$msi_program_files\\spoolsync"
  [[ ! -e $msi_folder ]] || fail "folder C:\\$msi_program_files\\spoolsync left"
  [[ -z $(installed_products) ]] || fail "product still registered: $(installed_products)"
  check_no_event_source
  echo "removed: no service, no files, no product, no event source"
}

msi_install_test() {
  local msi=$3 version=$4 mark product
  msi_session "$1" "$2"
  [[ -f $msi ]] || fail "missing package $msi"
  echo "--- install $(basename "$msi")"
  mark=$(log_lines)
  msiexec_quiet /i "$msi" install || fail "msiexec /i"
  check_installed "$version" "$mark"
  product=$INSTALLED_PRODUCT
  # The installed service's start in the event log: entry 100 saying the
  # queue could not be read, since a fresh prefix has none.
  wait_for_event "$mark" trace '(unknown: the queue could not be read, error 1801)'
  # The recovery actions also go through sc.exe failure, as in install.cmd
  # (Wine's service manager accepts them without storing them); its result
  # does not decide the install, but here it succeeds.
  grep -qF 'SetServiceRecovery. Return value 1.' "$msi_build/wine-msi-install.log" ||
    fail "the custom action running sc.exe failure did not succeed"

  # The same package again (a reinstall) keeps the product, the service's
  # settings and the queue, and starts the service again: Wine's msiexec
  # runs StopServices and StartServices again. It does not wait for the stop
  # it asks for, so over a running service its start fails now and then
  # (1627, once in a run of this test on a loaded machine); the service is
  # stopped first, as the guide tells an administrator under Wine. The queue
  # made before it shows in the new start entry.
  echo "--- the same package again"
  wine "$2/printer_tool.exe" add "$kQueue" LPT1: || fail "cannot create the queue"
  stop_and_check
  mark=$(log_lines)
  msiexec_quiet /i "$msi" install-again || fail "msiexec /i, second time"
  check_installed "$version" "$mark"
  wait_for_event "$mark" trace 'LPT1:'
  [[ $INSTALLED_PRODUCT == "$product" ]] || fail "product code changed: $INSTALLED_PRODUCT"
  echo "reinstalled: the service started again, the same product, the queue kept"

  # Wine's service manager reads the service from the registry when it starts:
  # an automatic start from the quoted path written by the package.
  echo "--- a new session: the service starts on its own"
  mark=$(log_lines)
  msi_keepalive "$2"
  check_installed "$version" "$mark"

  echo "--- remove"
  msi_remove "$msi" install-remove
  check_removed
  echo "--- debugger channel:"
  cat "$debug_log"
  echo "msi install test passed"
}

msi_upgrade_test() {
  local old=$3 old_version=$4 msi=$5 version=$6 rebuilt=$7 mark old_product product
  msi_session "$1" "$2"
  for file in "$old" "$msi" "$rebuilt"; do [[ -f $file ]] || fail "missing package $file"; done

  echo "--- install $(basename "$old")"
  mark=$(log_lines)
  msiexec_quiet /i "$old" upgrade-old || fail "msiexec /i (older version)"
  check_installed "$old_version" "$mark"
  old_product=$INSTALLED_PRODUCT

  echo "--- upgrade to $(basename "$msi")"
  # The queue is not the package's: an upgrade leaves it, and the new
  # service's start entry carries its port.
  wine "$2/printer_tool.exe" add "$kQueue" LPT1: || fail "cannot create the queue"
  mark=$(log_lines)
  msiexec_quiet /i "$msi" upgrade-new || fail "msiexec /i (upgrade)"
  # The old service stopped, and the new one started after it.
  wait_for_text "$mark" 'OutputDebugStringA " MainError:'
  wait_for_event "$mark" trace "$kStopReason"
  check_installed "$version" "$mark"
  wait_for_event "$mark" trace 'LPT1:'
  [[ $INSTALLED_PRODUCT != "$old_product" ]] || fail "still the old product $old_product"
  product=$INSTALLED_PRODUCT

  echo "--- another build of version $version"
  mark=$(log_lines)
  msiexec_quiet /i "$rebuilt" upgrade-rebuilt || fail "msiexec /i (same version, other build)"
  check_installed "$version" "$mark"
  [[ $INSTALLED_PRODUCT != "$product" ]] || fail "the other build did not replace $product"

  echo "--- $(basename "$old") over it: refused"
  msiexec_quiet /i "$old" upgrade-downgrade || true
  # ERROR_INSTALL_FAILURE, from the package's "newer version" condition.
  [[ $msi_status == 1603 ]] || fail "an older package over a newer one: exit code $msi_status, expected 1603"
  check_installed "$version" 0

  echo "--- remove"
  msi_remove "$rebuilt" upgrade-remove
  check_removed
  echo "--- debugger channel:"
  cat "$debug_log"
  echo "msi upgrade test passed"
}

msi_uninstall_test() {
  local msi=$3 version=$4 mark
  msi_session "$1" "$2"
  [[ -f $msi ]] || fail "missing package $msi"
  echo "--- install $(basename "$msi")"
  mark=$(log_lines)
  msiexec_quiet /i "$msi" uninstall-install || fail "msiexec /i"
  check_installed "$version" "$mark"

  echo "--- uninstall"
  mark=$(log_lines)
  msiexec_quiet /x "$msi" uninstall || fail "msiexec /x"
  wait_for_text "$mark" 'OutputDebugStringA " MainError:'
  wait_for_event "$mark" trace "$kStopReason"
  check_removed
  echo "--- debugger channel:"
  cat "$debug_log"
  echo "msi uninstall test passed"
}

# A package whose last deferred step fails (built for the test with
# ForceFailure: after InstallFiles, InstallServices, WriteRegistryValues and
# StartServices): msiexec fails and the rollback leaves nothing, neither the
# service, its key, the files, the event source nor the product.
msi_rollback_test() {
  local msi=$3 mark log
  msi_session "$1" "$2"
  [[ -f $msi ]] || fail "missing package $msi"
  echo "--- install $(basename "$msi"), which fails at its end"
  mark=$(log_lines)
  msiexec_quiet /i "$msi" rollback || true
  # Wine 8's msiexec returns ERROR_FUNCTION_FAILED (1627) for the failed
  # step, where Windows Installer gives ERROR_INSTALL_FAILURE (1603).
  [[ $msi_status == 1627 ]] || fail "msiexec /i of the failing package: exit code $msi_status, expected 1627 (Wine)"
  log=$msi_build/wine-msi-rollback.log
  # It failed where it should, after the service had been installed and
  # started, and the rollback took the steps back.
  grep -qF 'FailLate. Return value 0.' "$log" || fail "the failing step did not run or did not fail"
  wait_for_text "$mark" 'OutputDebugStringA "GetPrinterHandle"'
  local rollback
  rollback=$(sed -n '/FailLate. Return value 0./,$p' "$log" | tr -d '\r' |
    sed -n 's/^Action start [0-9:]*: \([A-Za-z]*\)\.$/\1/p' | tr '\n' ' ')
  echo "rolled back: $rollback"
  for action in StopServices RemoveRegistryValues DeleteServices RemoveFiles; do
    [[ " $rollback" == *" $action "* ]] || fail "the rollback did not run $action"
  done
  check_removed
  echo "--- debugger channel:"
  cat "$debug_log"
  echo "msi rollback test passed"
}

# The x86 package on 64-bit Windows: a 32-bit product under WOW64, in the
# 32-bit Program Files; the x64 package of the same version replaces it.
msi_wow64_test() {
  local x86=$3 version=$4 x64=$5 mark
  [[ $WINEARCH == win64 ]] || fail "msi-wow64 needs a 64-bit prefix"
  if [[ ! -f $x86 ]]; then
    echo "SKIPPED: no x86 package $x86 (build the windows-x86 preset first)"
    exit "$kSkipped"
  fi
  [[ -f $x64 ]] || fail "missing package $x64"
  # Its service is a 32-bit program: the 32-bit loader must start.
  if ! loader_error=$("$kLoader32" --version 2>&1); then
    echo "SKIPPED: Wine's 32-bit loader ($kLoader32) does not start on this machine: $loader_error"
    exit "$kSkipped"
  fi
  msi_session "$1" "$2"
  msi_target "Program Files (x86)" "$(dirname "$x86")/spoolsync.exe"
  echo "--- install $(basename "$x86")"
  mark=$(log_lines)
  msiexec_quiet /i "$x86" wow64-x86 || fail "msiexec /i (x86 package)"
  check_installed "$version" "$mark"
  [[ ! -e "$prefix/drive_c/Program Files/spoolsync" ]] || fail "the x86 package wrote to the 64-bit Program Files"
  grep -qF 'SetServiceRecovery. Return value 1.' "$msi_build/wine-msi-wow64-x86.log" ||
    fail "the custom action running sc.exe failure did not succeed"
  local x86_folder=$msi_folder

  echo "--- $(basename "$x64") over it"
  msi_target "Program Files" "$msi_build/spoolsync.exe"
  mark=$(log_lines)
  msiexec_quiet /i "$x64" wow64-x64 || fail "msiexec /i (x64 package over the x86 one)"
  check_installed "$version" "$mark"
  [[ ! -e $x86_folder ]] || fail "the x86 installation was left in C:\\Program Files (x86)\\spoolsync"

  echo "--- remove"
  msi_remove "$x64" wow64-remove
  check_removed
  echo "--- debugger channel:"
  cat "$debug_log"
  echo "msi wow64 test passed"
}

# The x64 package on 32-bit Windows: refused before anything is installed.
msi_refused_test() {
  local x64=$3
  [[ $WINEARCH == win32 ]] || fail "msi-refused needs a 32-bit prefix"
  if [[ ! -f $x64 ]]; then
    echo "SKIPPED: no x64 package $x64 (build the windows-x64 preset first)"
    exit "$kSkipped"
  fi
  msi_session "$1" "$2"
  echo "--- install $(basename "$x64")"
  msiexec_quiet /i "$x64" refused-x64 || true
  # ERROR_INSTALL_PLATFORM_UNSUPPORTED
  [[ $msi_status == 1633 ]] || fail "msiexec /i of the x64 package: exit code $msi_status, expected 1633"
  check_removed
  echo "msi refused test passed"
}

# --- footprint
# The Linux process of Wine program EXE_NAME running in this prefix.
unix_pid_of() {
  local name=$1 pid
  for pid in $(ps -eo pid=); do
    [[ -r /proc/$pid/cmdline && -r /proc/$pid/environ ]] || continue
    tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | head -n 1 | grep -qiF "$name" || continue
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" || continue
    echo "$pid"
    return 0
  done
  return 1
}

state_of() { wine sc query "$1" 2>/dev/null | sed -n 's/^ *STATE *: *\([0-9]\+\).*/\1/p'; }

wait_for_state_of() {
  local name=$1 wanted=$2
  for _ in $(seq 1 120); do
    [[ $(state_of "$name") == "$wanted" ]] && return 0
    sleep 0.5
  done
  fail "$name did not reach state $wanted (state: $(state_of "$name"))"
}

# Runs EXE as service NAME for SECONDS and prints its footprint line.
measure_service() {
  local name=$1 exe=$2 seconds=$3 pid ticks hwm utime stime
  win_expect 0 "sc create $name" sc create "$name" binPath= "$(wine winepath -w "$exe")"
  win_expect 0 "sc start $name" sc start "$name"
  wait_for_state_of "$name" 4
  pid=$(unix_pid_of "$(basename "$exe")") || fail "no process of $(basename "$exe")"
  sleep "$seconds"
  hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status")
  # utime and stime: fields 14 and 15, after the parenthesised name.
  read -r utime stime < <(sed 's/^.*) //' "/proc/$pid/stat" | awk '{ print $12, $13 }')
  ticks=$(getconf CLK_TCK)
  win_run sc stop "$name" >/dev/null
  wait_for_state_of "$name" 1
  win_expect 0 "sc delete $name" sc delete "$name"
  [[ -n $hwm && -n $utime ]] || fail "no figures for $name (process $pid)"
  echo "footprint: $name peak working set $hwm kB, CPU $(((utime + stime) * 1000 / ticks)) ms over $seconds s" \
    "(user $((utime * 1000 / ticks)) ms, system $((stime * 1000 / ticks)) ms)"
}

footprint_test() {
  local build=$1 tools=$2 seconds=$3
  fresh_prefix
  use_tools "$tools"
  for file in "$build/spoolsync.exe" "$tools/minimal_service.exe"; do [[ -f $file ]] || fail "missing $file"; done
  debug_log=$build/wine-footprint-debug.log
  : >"$debug_log"
  start_keepalive "$tools" "$build/wine-keepalive.out"
  # The queue exists, so the service opens and reads it at its start as on a till.
  wine "$tools/printer_tool.exe" add "$kQueue" LPT1: || fail "cannot create the queue"
  echo "footprint: size spoolsync.exe $(stat -c %s "$build/spoolsync.exe") bytes," \
    "minimal_service.exe $(stat -c %s "$tools/minimal_service.exe") bytes"
  measure_service "$kService" "$build/spoolsync.exe" "$seconds"
  measure_service spoolsyncMinimal "$tools/minimal_service.exe" "$seconds"
  wine "$tools/printer_tool.exe" delete "$kQueue" || fail "cannot delete the queue"
  grep -qF 'OutputDebugStringA "GetPrinterHandle"' "$debug_log" || fail "spoolsync did not start as a service"
  echo "footprint test passed"
}

case $command in
  prefix) create_prefix ;;
  console) console_test "$@" ;;
  service) service_test "$@" ;;
  run)
    need_prefix
    wine "$@"
    ;;
  fresh) fresh_prefix ;;
  fresh-run)
    fresh_prefix
    wine "$@"
    ;;
  msi-install) msi_install_test "$@" ;;
  msi-upgrade) msi_upgrade_test "$@" ;;
  msi-uninstall) msi_uninstall_test "$@" ;;
  msi-rollback) msi_rollback_test "$@" ;;
  msi-wow64) msi_wow64_test "$@" ;;
  msi-refused) msi_refused_test "$@" ;;
  # Reaching here means the loader started (it is checked above).
  skip-unless-wine-starts) ;;
  footprint) footprint_test "$@" ;;
  skip)
    echo "SKIPPED: $*"
    exit "$kSkipped"
    ;;
  shutdown) end_session ;;
  *) fail "unknown command $command" ;;
esac
