# Authenticode signing of the Windows build, opt-in: configure with
#   -DSPOOLSYNC_SIGN_PKCS12=<certificate and key, PKCS#12>
#   [-DSPOOLSYNC_SIGN_TIMESTAMP_URL=<RFC 3161 time-stamp server>]
#   [-DSPOOLSYNC_SIGN_CAFILE=<CA certificates to verify against>]
# and build with the PKCS#12 password in the environment variable
# SPOOLSYNC_SIGN_PASSWORD. Each signed file is signed right after it is built
# (the executable after linking, the package after wixl, which packages the
# signed executable) and its signature verified; a file that fails either
# step fails the build. Without SPOOLSYNC_SIGN_PKCS12 nothing is signed.
#
# Signing runs osslsigncode (Debian: osslsigncode) through windows/sign.sh, so
# it needs a build machine with bash: the MinGW-w64 cross build on Linux.

set(SPOOLSYNC_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file to sign spoolsync.exe and the package with (password in SPOOLSYNC_SIGN_PASSWORD); empty: unsigned")
set(SPOOLSYNC_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server for the signatures (optional)")
set(SPOOLSYNC_SIGN_CAFILE "" CACHE FILEPATH
    "CA certificates the signatures are verified against after signing; empty: osslsigncode's default bundle")

set(SPOOLSYNC_SIGN_ENABLED OFF)
set(SPOOLSYNC_SIGN_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/sign.sh")
if(SPOOLSYNC_SIGN_PKCS12)
  if(NOT CMAKE_HOST_UNIX)
    message(FATAL_ERROR "SPOOLSYNC_SIGN_PKCS12: signing in the build needs osslsigncode and bash (a Linux build "
                        "machine); on Windows sign with signtool after the build")
  endif()
  if(NOT EXISTS "${SPOOLSYNC_SIGN_PKCS12}")
    message(FATAL_ERROR "SPOOLSYNC_SIGN_PKCS12: no file ${SPOOLSYNC_SIGN_PKCS12}")
  endif()
  find_program(SPOOLSYNC_OSSLSIGNCODE osslsigncode DOC "osslsigncode, signs Windows files with Authenticode")
  if(NOT SPOOLSYNC_OSSLSIGNCODE)
    message(FATAL_ERROR "SPOOLSYNC_SIGN_PKCS12 is set but osslsigncode is not installed "
                        "(Debian: scripts/install-deps.sh windows)")
  endif()
  set(SPOOLSYNC_SIGN_ENABLED ON)
  message(STATUS "Signing with ${SPOOLSYNC_SIGN_PKCS12} (password from SPOOLSYNC_SIGN_PASSWORD at build time)")
endif()

# The command that signs and verifies FILE in place (empty when unsigned).
function(spoolsync_sign_command out file description)
  if(SPOOLSYNC_SIGN_ENABLED)
    set(command "${SPOOLSYNC_SIGN_SCRIPT}" "${file}" "${SPOOLSYNC_SIGN_PKCS12}" "${description}")
    if(SPOOLSYNC_SIGN_TIMESTAMP_URL)
      list(APPEND command --timestamp "${SPOOLSYNC_SIGN_TIMESTAMP_URL}")
    endif()
    if(SPOOLSYNC_SIGN_CAFILE)
      list(APPEND command --cafile "${SPOOLSYNC_SIGN_CAFILE}")
    endif()
    set(${out} ${command} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# Signs the executable of TARGET after every link. A new certificate relinks
# it, so no file keeps a signature made with a certificate no longer in use.
function(spoolsync_sign_target target description)
  if(NOT SPOOLSYNC_SIGN_ENABLED)
    return()
  endif()
  spoolsync_sign_command(command "$<TARGET_FILE:${target}>" "${description}")
  add_custom_command(TARGET ${target} POST_BUILD COMMAND ${command} VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${SPOOLSYNC_SIGN_PKCS12}")
endfunction()
