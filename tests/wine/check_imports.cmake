# Checks that a MinGW-built executable needs no MinGW runtime DLL: it must
# import only from system DLLs.
#   cmake -DOBJDUMP=<objdump> -DEXE=<exe> -P check_imports.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed: ${result}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
list(TRANSFORM imports REPLACE "^DLL Name: " "")
if(NOT imports)
  message(FATAL_ERROR "${EXE}: no imported DLLs found; is this a PE image?")
endif()
message(STATUS "imports: ${imports}")
set(runtime ${imports})
list(FILTER runtime INCLUDE REGEX "^lib(stdc\\+\\+|gcc|winpthread|ssp|gomp|quadmath|atomic)")
if(runtime)
  message(FATAL_ERROR "${EXE} needs MinGW runtime DLLs: ${runtime}")
endif()
