#!/bin/sh
# scripts/demo.sh answers bad arguments at once, before it builds anything:
# each case's exit status and the line that says why. Run from the source
# folder.
status=0
expect() {
  wanted_status=$1 wanted_text=$2
  shift 2
  out=$(scripts/demo.sh "$@" 2>&1)
  got=$?
  if [ "$got" -ne "$wanted_status" ] || ! printf '%s\n' "$out" | grep -qF -- "$wanted_text"; then
    echo "FAILED: scripts/demo.sh $*: exit $got (wanted $wanted_status), output:"
    printf '%s\n' "$out"
    status=1
  else
    echo "ok: scripts/demo.sh $*: exit $got, \"$wanted_text\""
  fi
}
expect 0 "usage: scripts/demo.sh" --help
expect 0 "usage: scripts/demo.sh" -h
expect 2 "unknown option --help-me" --help-me
expect 2 "no_such.scenario: not a scenario file that can be read" no_such.scenario
expect 2 "scenarios: not a scenario file that can be read" scenarios
expect 2 "usage: scripts/demo.sh" a b
exit $status
