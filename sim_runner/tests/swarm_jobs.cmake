# Runs the same range of swarm seeds one at a time and JOBS at a time: the
# lines printed (every finding of every seed, and the summary without its
# wall seconds) must be the same bytes, whichever seed's process ends first.
#   RUNNER   the runner
#   SEEDS    the range, FIRST..LAST
#   JOBS     seeds at once in the second run
foreach(jobs 1 ${JOBS})
  execute_process(COMMAND ${RUNNER} swarm --seeds ${SEEDS} --all-findings --jobs ${jobs}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status MATCHES "^[01]$")
    message(FATAL_ERROR "--jobs ${jobs}: exit status ${status}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
  string(REGEX REPLACE ", [0-9.]+ wall seconds" "" out "${out}")
  string(FIND "${out}" "seeds run" summary)
  if(summary EQUAL -1)
    message(FATAL_ERROR "--jobs ${jobs}: no summary line\nstdout:\n${out}")
  endif()
  set(out_${jobs} "${out}")
  set(status_${jobs} "${status}")
endforeach()
if(NOT out_1 STREQUAL out_${JOBS} OR NOT status_1 STREQUAL status_${JOBS})
  message(FATAL_ERROR "--jobs ${JOBS} printed otherwise than --jobs 1\none at a time:\n${out_1}\n${JOBS} at a time:\n${out_${JOBS}}")
endif()
