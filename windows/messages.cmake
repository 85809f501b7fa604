# The event log's message table: windows/messages.mc compiled by the
# message compiler into <build>/messages (messages.h, messages.rc and
# MSG00409.bin). Included from the top-level CMakeLists.txt in Windows builds.
#
# spoolsync_add_messages(TARGET): TARGET's resource script can include
# "messages.rc" and its sources "messages.h"; they are built first.
#
# The compiler: CMAKE_MC_COMPILER, which the MinGW-w64 toolchain files set to
# <triplet>-windmc (GNU binutils); otherwise mc.exe of the Windows SDK: on
# the PATH of a Developer Command Prompt, else in the SDK's bin folder of the
# version the Visual Studio generator targets (or the newest installed). The
# two take the same options here: -h and -r the output folders. windmc needs
# -U for Unicode text (mc.exe writes Unicode by default). The MSVC path has
# not been run: no Windows machine builds this project here.

set(SPOOLSYNC_MESSAGES_SOURCE "${CMAKE_CURRENT_LIST_DIR}/messages.mc")
set(SPOOLSYNC_MESSAGES_DIR "${CMAKE_BINARY_DIR}/messages")

if(CMAKE_MC_COMPILER)
  set(SPOOLSYNC_MC "${CMAKE_MC_COMPILER}")
else()
  set(program_files_x86 "ProgramFiles(x86)")
  set(windows_kits "$ENV{${program_files_x86}}/Windows Kits/10/bin")
  file(GLOB sdk_bins LIST_DIRECTORIES true "${windows_kits}/10.*/x64")
  list(SORT sdk_bins COMPARE NATURAL ORDER DESCENDING)
  find_program(SPOOLSYNC_MC NAMES mc mc.exe
               PATHS "${windows_kits}/${CMAKE_VS_WINDOWS_TARGET_PLATFORM_VERSION}/x64" ${sdk_bins}
               DOC "The message compiler (mc.exe of the Windows SDK)")
endif()
if(NOT SPOOLSYNC_MC)
  message(FATAL_ERROR "No message compiler: install binutils-mingw-w64 (windmc) or build in a Developer Command "
                      "Prompt of Visual Studio (mc.exe)")
endif()
if(SPOOLSYNC_MC MATCHES "windmc")
  set(SPOOLSYNC_MC_OPTIONS -U)
else()
  set(SPOOLSYNC_MC_OPTIONS "")
endif()

add_custom_command(
  OUTPUT "${SPOOLSYNC_MESSAGES_DIR}/messages.h" "${SPOOLSYNC_MESSAGES_DIR}/messages.rc"
         "${SPOOLSYNC_MESSAGES_DIR}/MSG00409.bin"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${SPOOLSYNC_MESSAGES_DIR}"
  COMMAND "${SPOOLSYNC_MC}" ${SPOOLSYNC_MC_OPTIONS} -h "${SPOOLSYNC_MESSAGES_DIR}" -r "${SPOOLSYNC_MESSAGES_DIR}"
          "${SPOOLSYNC_MESSAGES_SOURCE}"
  DEPENDS "${SPOOLSYNC_MESSAGES_SOURCE}"
  COMMENT "Compiling the event log's message table (${SPOOLSYNC_MC})"
  VERBATIM)
add_custom_target(spoolsync_messages DEPENDS "${SPOOLSYNC_MESSAGES_DIR}/messages.h"
                                             "${SPOOLSYNC_MESSAGES_DIR}/messages.rc")

function(spoolsync_add_messages target)
  add_dependencies(${target} spoolsync_messages)
  # The resource compiler finds messages.rc, and the table it names, here.
  target_include_directories(${target} PRIVATE "${SPOOLSYNC_MESSAGES_DIR}")
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    if(source MATCHES "\\.rc$")
      set_property(SOURCE "${source}" APPEND PROPERTY OBJECT_DEPENDS "${SPOOLSYNC_MESSAGES_DIR}/messages.rc"
                                                                     "${SPOOLSYNC_MESSAGES_DIR}/MSG00409.bin")
    endif()
  endforeach()
endfunction()
