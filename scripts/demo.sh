#!/usr/bin/env bash
# Builds spoolsync on Linux and plays a scenario against the service on the
# simulated Windows machine, printing its timeline, and draws the day as a
# picture (SVG): the demo day's to docs/demo-day.svg (the one the README
# shows), any other scenario's to build/pictures/NAME.svg.
# Usage: scripts/demo.sh [scenario-file]   (default: a day at the till)
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/demo.sh [scenario-file]   (default: scenarios/a_day_at_the_till.scenario)"
  echo "Plays the scenario on the simulated machine, prints its timeline and draws its picture:"
  echo "the demo day's to docs/demo-day.svg, another scenario's to build/pictures/NAME.svg."
}

# The arguments are checked before anything is built.
if [[ $# -gt 1 ]]; then
  usage >&2
  exit 2
fi
if [[ $# -eq 1 && ( $1 == "-h" || $1 == "--help" ) ]]; then
  usage
  exit 0
fi
if [[ $# -eq 0 ]]; then
  scenario=scenarios/a_day_at_the_till.scenario
  picture=docs/demo-day.svg
else
  scenario=$1
  if [[ $scenario == -* ]]; then
    echo "scripts/demo.sh: unknown option $scenario" >&2
    usage >&2
    exit 2
  fi
  if [[ -d $scenario || ! -r $scenario ]]; then
    echo "scripts/demo.sh: $scenario: not a scenario file that can be read" >&2
    exit 2
  fi
  name=$(basename -- "$scenario")
  picture=build/pictures/${name%.scenario}.svg
fi

scripts/install-deps.sh linux >&2
cmake --preset default >/dev/null
# The machine's own cores, no more: the build shares it with whatever else runs.
cmake --build --preset default --target spoolsync-sim --parallel "$(nproc)" >/dev/null
mkdir -p "$(dirname "$picture")"
status=0
build/default/sim_runner/spoolsync-sim --svg "$picture" "$scenario" || status=$?
if [[ $status -le 1 ]]; then
  echo "picture of the day: $picture (open it in a browser; hover a band or a mark for its timeline)"
fi
exit "$status"
