#!/usr/bin/env bash
# Runs one test of the Windows build under Wine, in a private Wine prefix.
#
# Usage: wine-test.sh PREFIX COMMAND [ARGS...]
#   prefix                         creates PREFIX afresh (wineboot -i)
#   console EXE                    EXE started from a console reports
#                                  " MainError:1063" and exits with 0
#   service BUILD_DIR TOOLS_DIR    install.cmd, sc start/stop with and without
#                                  the queue, uninstall.cmd
#   run EXE [ARGS...]              runs a test executable, passing its status on
#   shutdown                       ends PREFIX's Wine session
# Exits with 77, which ctest reports as skipped, when Wine is not installed.
set -euo pipefail

readonly kSkipped=77
readonly kService=testserviceQ5M2K9
readonly kQueue=KX310MQ47H

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
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers, and no windows: everything here is console.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

end_session() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}

create_prefix() {
  end_session
  rm -rf "$prefix"
  wineboot -i >/dev/null 2>&1 || fail "wineboot -i"
  wineserver -w
  [[ -f $prefix/system.reg ]] || fail "no registry in $prefix"
  echo "Wine prefix ready: $prefix"
}

need_prefix() {
  [[ -f $prefix/system.reg ]] || fail "no Wine prefix at $prefix (the wine.prefix test creates it)"
}

console_test() {
  local exe=$1 log status=0
  need_prefix
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

start_and_check() {
  local mark
  mark=$(log_lines)
  wine sc start "$kService" >/dev/null || fail "sc start $kService"
  wait_for_state 4 RUNNING
  wait_for_text "$mark" 'OutputDebugStringA "GetPrinterHandle"'
  START_MARK=$mark
}

stop_and_check() {
  local mark status=0
  mark=$(log_lines)
  # Wine's sc reports a failure for this stop although the service stops;
  # the state is what counts.
  wine sc stop "$kService" >/dev/null || status=$?
  echo "sc stop exit status: $status"
  wait_for_state 1 STOPPED
  wait_for_text "$mark" 'OutputDebugStringA " MainError:'
}

service_test() {
  local build=$1 tools=$2 image installed
  need_prefix
  for file in spoolsync.exe install.cmd uninstall.cmd; do
    [[ -f $build/$file ]] || fail "missing $build/$file"
  done
  installed="$prefix/drive_c/Program Files/spoolsync/spoolsync.exe"

  # A new session whose first process, the keep-alive, hands its standard
  # error (the debugger channel) on to the services.
  end_session
  debug_log=$build/wine-service-debug.log
  local ready=$build/wine-keepalive.out
  : >"$ready"
  WINEDEBUG=-all,+debugstr wine "$tools/keepalive.exe" 600 >"$ready" 2>"$debug_log" &
  keepalive_pid=$!
  trap 'end_session; wait "$keepalive_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 1 120); do
    grep -q ready "$ready" && break
    sleep 0.5
  done
  grep -q ready "$ready" || fail "the keep-alive process did not start"

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
  if (cd "$build" && wine cmd /c install.cmd >/dev/null 2>&1); then fail "install.cmd over an installed service succeeded"; fi

  echo "--- no queue $kQueue"
  start_and_check
  wait_for_text "$START_MARK" 'OutputDebugStringA " Open Printer Error :GetLastError() returns: 0x709'
  stop_and_check

  echo "--- with queue $kQueue"
  wine "$tools/printer_tool.exe" add "$kQueue" LPT1: || fail "cannot create the queue"
  start_and_check
  if log_since "$START_MARK" | grep -qF 'Open Printer Error'; then fail "open error with the queue present"; fi
  stop_and_check

  echo "--- uninstall.cmd"
  (cd "$build" && wine cmd /c uninstall.cmd 'C:\Program Files\spoolsync') || fail "uninstall.cmd"
  if wine sc query "$kService" >/dev/null 2>&1; then fail "$kService still installed"; fi
  [[ -z $(registry_value ImagePath) ]] || fail "service key still in the registry"
  [[ ! -e $installed ]] || fail "spoolsync.exe left in C:\\Program Files\\spoolsync"

  echo "--- debugger channel:"
  cat "$debug_log"
  echo "service test passed"
}

case $command in
  prefix) create_prefix ;;
  console) console_test "$@" ;;
  service) service_test "$@" ;;
  run)
    need_prefix
    wine "$@"
    ;;
  shutdown) end_session ;;
  *) fail "unknown command $command" ;;
esac
