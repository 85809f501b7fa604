# Draws a scenario's picture with spoolsync-sim twice, in two processes, and
# checks that both are the same bytes; with COMMITTED, also that they are the
# bytes of that committed file.
#   RUNNER, FILE, OUT_DIR   the runner, the scenario, where the pictures go
#   SEED                    play FILE with the schedule drawn from this seed
#   COMMITTED               the committed picture FILE must still draw
set(command "${RUNNER}" --quiet)
if(DEFINED SEED)
  list(APPEND command --seed "${SEED}")
endif()
file(MAKE_DIRECTORY "${OUT_DIR}")
foreach(run first second)
  execute_process(COMMAND ${command} --svg "${OUT_DIR}/${run}.svg" "${FILE}" RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "exit status ${status}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
endforeach()
file(SIZE "${OUT_DIR}/first.svg" size)
if(size EQUAL 0)
  message(FATAL_ERROR "the picture is empty")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${OUT_DIR}/first.svg" "${OUT_DIR}/second.svg"
                RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "two runs drew different pictures: ${OUT_DIR}/first.svg, ${OUT_DIR}/second.svg")
endif()
if(DEFINED COMMITTED)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${OUT_DIR}/first.svg" "${COMMITTED}"
                  RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${COMMITTED} is not the picture ${FILE} draws today (${OUT_DIR}/first.svg).\n"
                        "Regenerate it with scripts/demo.sh, or with\n"
                        "  build/default/sim_runner/spoolsync-sim --quiet --svg docs/demo-day.svg "
                        "scenarios/a_day_at_the_till.scenario\n"
                        "from the top of the source tree, look at it, and commit it.")
  endif()
endif()
message(STATUS "${size} bytes, the same in both runs")
