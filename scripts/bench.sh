#!/usr/bin/env bash
# Measures what a status pass, a re-binding and a run of the test bed cost,
# and prints one table:
#   - the benchmarks on the simulated machine (preset "bench", Release):
#     platform calls and wall time per status pass, the service's own time
#     against the bare call sequence, reactions in virtual time, simulated
#     time per wall second;
#   - swarm seeds per second (spoolsync-sim swarm), when the runner has it;
#   - executions per second of each fuzz target (scripts/fuzz.sh);
#   - under Wine (when MinGW-w64 and Wine are installed: scripts/install-deps.sh
#     windows): the spooler calls of a status pass against Wine's spooler, and
#     the size, peak working set and CPU time of spoolsync.exe against a
#     minimal service built the same way, from the windows-x64 build's tests.
# Not part of scripts/test.sh (a smoke run of each benchmark is, in ctest).
# Usage: scripts/bench.sh
#   BENCH_FUZZ_SECONDS  seconds per fuzz target (default 60, as in CI; 0 skips)
#   BENCH_WINE=0        skips the Wine figures
# Everything it ran is kept in build/bench/results/.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${BENCH_FUZZ_SECONDS:-60}
results=build/bench/results
rows=()
row() { rows+=("| $1 | $2 | $3 |"); }

scripts/install-deps.sh bench
cmake --preset bench >/dev/null
cmake --build --preset bench
mkdir -p "$results"

echo "==== benchmarks on the simulated machine"
build/bench/bench/spoolsync_bench | tee "$results/bench.txt"
while IFS= read -r line; do rows+=("$line"); done < <(grep '^| ' "$results/bench.txt" | grep -v -e '^| figure |' -e '^| --- |')

echo "==== swarm"
sim=build/bench/sim_runner/spoolsync-sim
"$sim" swarm --seeds 1..500 >"$results/swarm.txt" 2>&1 || true
summary=$(grep -Eio 'swarm: *[0-9]+ seeds?( run)?, *[0-9]+ failed, *[0-9.]+ simulated hours?, *[0-9.]+ wall seconds?' \
  "$results/swarm.txt" | tail -n 1 || true)
if [[ -n $summary ]]; then
  read -r seeds failed hours wall < <(sed -E 's/[^0-9.]+/ /g' <<<"$summary")
  row "swarm seeds per second (spoolsync-sim swarm --seeds 1..500)" \
    "$(awk -v s="$seeds" -v w="$wall" 'BEGIN { printf "%.1f seeds/s", (w > 0 ? s / w : 0) }')" \
    "$seeds seeds ($failed failed), $hours simulated hours in $wall s"
else
  row "swarm seeds per second" "not available" "spoolsync-sim swarm printed no summary line"
fi
cat "$results/swarm.txt" | tail -n 3

if [[ $fuzz_seconds -gt 0 ]]; then
  echo "==== fuzz targets, ${fuzz_seconds} s each"
  status=0
  scripts/fuzz.sh "$fuzz_seconds" | tee "$results/fuzz.txt" || status=$?
  target=
  while IFS= read -r line; do
    if [[ $line =~ ^==\ ([a-z_]+): ]]; then target=${BASH_REMATCH[1]}; fi
    if [[ -n $target && $line =~ executions:\ *([0-9]+)\ *per\ second:\ *([0-9]+) ]]; then
      row "fuzz target $target, executions per second" "${BASH_REMATCH[2]}" \
        "${BASH_REMATCH[1]} executions in ${fuzz_seconds} s (scripts/fuzz.sh, ASan+UBSan)"
      target=
    fi
  done <"$results/fuzz.txt"
  [[ $status -eq 0 ]] || row "fuzz run" "FAILED" "a target crashed (build/fuzz/runs/<target>/log)"
fi

wine_log=$results/wine.txt
if [[ ${BENCH_WINE:-1} == 0 ]]; then
  row "Wine figures" "skipped" "BENCH_WINE=0"
elif ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wineserver >/dev/null; then
  row "Wine figures" "not available" "no MinGW-w64 or Wine (scripts/install-deps.sh windows)"
else
  echo "==== under Wine (windows-x64 build, its own fresh prefix)"
  cmake --preset windows-x64 >/dev/null
  cmake --build --preset windows-x64 --target spoolsync spooler_pass_bench minimal_service keepalive printer_tool
  status=0
  ctest --preset windows-x64 -V -R '^wine\.bench\.' >"$wine_log" 2>&1 || status=$?
  grep -E 'wine spooler:|footprint:' "$wine_log" | sed 's/^[0-9]*: //' || true
  spooler_line() { grep -F "wine spooler: $1" "$wine_log" | tail -n 1 | sed -E 's/.* ([0-9.]+) us$/\1/'; }
  pair=$(grep -F 'one command pair' "$wine_log" | tail -n 1 | sed 's/^[0-9]*: //;s/^wine spooler: //')
  refusal=$(grep -F 'SetPrinterW level 0' "$wine_log" | tail -n 1 | sed 's/^.*level 0 //')
  if [[ -n $pair ]]; then
    row "Wine: spooler calls of one command pair (OpenPrinterW, GetPrinterW x2, ClosePrinter)" \
      "$(sed -E 's/.*implemented calls ([0-9.]+ us).*/\1/' <<<"$pair")" \
      "per call: open $(spooler_line OpenPrinterW) us, size query $(spooler_line 'GetPrinterW (size query)') us, read $(spooler_line 'GetPrinterW (level 2)') us, close $(spooler_line ClosePrinter) us; SetPrinterW level 0 $refusal, timed as a refusal: $(spooler_line 'SetPrinterW (pause') + $(spooler_line 'SetPrinterW (status') us"
  else
    row "Wine: spooler calls of a pass" "not measured" "wine.bench.spooler did not run (see $wine_log)"
  fi
  size=$(grep -F 'footprint: size' "$wine_log" | tail -n 1 | sed 's/^.*footprint: size //')
  service=$(grep -F "footprint: testserviceQ5M2K9" "$wine_log" | tail -n 1 | sed 's/^.*footprint: testserviceQ5M2K9 //')
  minimal=$(grep -F 'footprint: spoolsyncMinimal' "$wine_log" | tail -n 1 | sed 's/^.*footprint: spoolsyncMinimal //')
  if [[ -n $size && -n $service && -n $minimal ]]; then
    row "Wine: size of spoolsync.exe (x64, static)" "${size%%,*}" "${size#*, }"
    row "Wine: spoolsync.exe as a service, fixed run" "$service" "minimal service: $minimal"
  else
    row "Wine: footprint" "not measured" "wine.bench.footprint did not run (see $wine_log)"
  fi
  [[ $status -eq 0 ]] || row "Wine benchmarks" "FAILED" "see $wine_log"
fi

echo
echo "==== spoolsync performance ($(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1))"
echo "| figure | measured | against |"
echo "| --- | --- | --- |"
printf '%s\n' "${rows[@]}"
