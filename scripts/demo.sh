#!/usr/bin/env bash
# Builds spoolsync on Linux and plays a scenario against the service on the
# simulated Windows machine, printing its timeline, and draws the day as a
# picture (SVG): the demo day's to docs/demo-day.svg (the one the README
# shows), any other scenario's to build/pictures/NAME.svg.
# Usage: scripts/demo.sh [scenario-file]   (default: a day at the till)
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -eq 0 ]]; then
  scenario=scenarios/a_day_at_the_till.scenario
  picture=docs/demo-day.svg
else
  scenario=$1
  picture=build/pictures/$(basename "$scenario" .scenario).svg
fi
scripts/install-deps.sh linux >&2
cmake --preset default >/dev/null
cmake --build --preset default --target spoolsync-sim >/dev/null
mkdir -p "$(dirname "$picture")"
status=0
build/default/sim_runner/spoolsync-sim --svg "$picture" "$scenario" || status=$?
if [[ $status -le 1 ]]; then
  echo "picture of the day: $picture (open it in a browser; hover a band or a mark for its timeline)"
fi
exit "$status"
