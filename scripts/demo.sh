#!/usr/bin/env bash
# Builds spoolsync on Linux and plays a scenario against the service on the
# simulated Windows machine, printing its timeline.
# Usage: scripts/demo.sh [scenario-file]   (default: a day at the till)
set -euo pipefail
cd "$(dirname "$0")/.."

scenario="${1:-scenarios/a_day_at_the_till.scenario}"
scripts/install-deps.sh linux >&2
cmake --preset default >/dev/null
cmake --build --preset default --target spoolsync-sim >/dev/null
exec build/default/sim_runner/spoolsync-sim "$scenario"
