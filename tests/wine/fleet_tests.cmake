# Tests of what a fleet's administrators rely on, included from
# tests/wine/CMakeLists.txt in the cross build on Linux:
#   windows.signature  the signatures of spoolsync.exe, the self-test and the
#                      package (signed build), or that there are none (default)
#   wine.selftest      spoolsync-selftest.exe under Wine: every step PASS or,
#                      where Wine lacks the call, N/A-in-Wine
#   wine.guide         the administrator guide's "try the package under Wine"
#                      block, run as printed, on a fresh prefix (x64 build)
#   ci.actionlint      the GitHub Actions workflows, linted with actionlint

set(signed_files $<TARGET_FILE:spoolsync> $<TARGET_FILE:spoolsync-selftest>)
if(SPOOLSYNC_MSI_ENABLED)
  list(APPEND signed_files ${SPOOLSYNC_MSI})
endif()
if(SPOOLSYNC_SIGN_ENABLED)
  # Verified as an administrator would: against the CA given for signing,
  # else the system's bundle.
  set(cafile ${SPOOLSYNC_SIGN_CAFILE})
  if(NOT cafile)
    set(cafile /etc/ssl/certs/ca-certificates.crt)
  endif()
  add_test(NAME windows.signature
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/signature-test.sh signed ${cafile} ${signed_files})
else()
  add_test(NAME windows.signature COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/signature-test.sh unsigned ${signed_files})
endif()
set_tests_properties(windows.signature PROPERTIES SKIP_RETURN_CODE 77)

if(SPOOLSYNC_MSI_ENABLED)
  add_test(NAME wine.selftest
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/selftest-test.sh ${prefix} ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR})
else()
  add_test(NAME wine.selftest COMMAND ${driver} skip "the self-test installs the package: wixl not found")
endif()
set_tests_properties(wine.selftest PROPERTIES SKIP_RETURN_CODE 77 RESOURCE_LOCK wine_prefix
                     FIXTURES_REQUIRED wine_prefix TIMEOUT 300 ENVIRONMENT WINEARCH=${wine_arch})

# The guide's block names the x64 package and a build directory of the
# windows-x64 preset, and makes its own prefix under a home folder the test
# gives it.
if(SPOOLSYNC_MSI_ENABLED AND SPOOLSYNC_MSI_ARCH STREQUAL "x64")
  add_test(NAME wine.guide
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/guide-test.sh ${PROJECT_SOURCE_DIR}/docs/administrator-guide.md
            ${CMAKE_BINARY_DIR})
  set_tests_properties(wine.guide PROPERTIES SKIP_RETURN_CODE 77 RESOURCE_LOCK wine_prefix TIMEOUT 240)
endif()

add_test(NAME ci.actionlint COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/actionlint-test.sh ${PROJECT_SOURCE_DIR})
