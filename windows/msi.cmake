# The Windows Installer package, spoolsync-<version>-<x64|x86>.msi, built with
# wixl (Debian: wixl, from msitools) from windows/spoolsync.wxs.in. Included
# from the top-level CMakeLists.txt in Windows builds, after the spoolsync
# target.
#
# Target msi (part of the default build when wixl is found):
#   <build directory>/spoolsync-<version>-<SPOOLSYNC_MSI_ARCH>.msi
# spoolsync_add_msi(TARGET OUTPUT VERSION [DEFINES NAME=VALUE...]) adds a
# package of another version from the same source (the tests install an older
# one and upgrade it), with the wixl variables DEFINES (ForceFailure=1: a
# package whose install fails at its end, for the rollback test).

# The service, as install.cmd registers it: keep the two in step.
set(SPOOLSYNC_SERVICE_NAME testserviceQ5M2K9)
set(SPOOLSYNC_SERVICE_DISPLAY_NAME "spoolsync KX310MQ47H queue service")
set(SPOOLSYNC_SERVICE_DESCRIPTION
    "Keeps the KX310MQ47H print queue on the USB port of its printer and shows the printer's state (cover, paper, offline) on the queue.")
# The event source, as install.cmd registers it.
set(SPOOLSYNC_EVENT_SOURCE_KEY "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\spoolsync")
# sc failure ... reset= 86400 actions= restart/5000/restart/30000/restart/60000
# as SERVICE_FAILURE_ACTIONS in the registry: dwResetPeriod, lpRebootMsg,
# lpCommand, cActions, lpsaActions (offset 0x14), then {SC_ACTION_RESTART, ms}.
set(SPOOLSYNC_FAILURE_ACTIONS_HEX
    "80510100" "00000000" "00000000" "03000000" "14000000"
    "01000000" "88130000" "01000000" "30750000" "01000000" "60EA0000")
string(JOIN "" SPOOLSYNC_FAILURE_ACTIONS_HEX ${SPOOLSYNC_FAILURE_ACTIONS_HEX})
# Fixed for the life of the product: upgrades find older versions by it.
# Shared by both architectures: they install the same service, so a package
# of either one replaces an installed package of the other.
set(SPOOLSYNC_MSI_UPGRADE_CODE 0DC90F87-C1D3-4E5B-AAC6-550E7023C756)

# The package's platform is the build's. wixl -a writes it into the Template
# summary property ("x64;1033" or "Intel;1033"), which Windows Installer checks
# before anything else: an x64 package is refused on 32-bit Windows (1633), an
# x86 one runs on 64-bit Windows too, with ProgramFilesFolder and SystemFolder
# the 32-bit ones (Program Files (x86), SysWOW64). The two components have
# their own GUIDs: one GUID must not stand for files in two places.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(SPOOLSYNC_MSI_ARCH x64)
  set(SPOOLSYNC_MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(SPOOLSYNC_MSI_SYSTEM_FOLDER System64Folder)
  set(SPOOLSYNC_MSI_WIN64 yes)
  set(SPOOLSYNC_MSI_COMPONENT_GUID DA9D9708-3652-45D6-95EF-74AA45AC42FE)
else()
  set(SPOOLSYNC_MSI_ARCH x86)
  set(SPOOLSYNC_MSI_PROGRAM_FILES ProgramFilesFolder)
  set(SPOOLSYNC_MSI_SYSTEM_FOLDER SystemFolder)
  set(SPOOLSYNC_MSI_WIN64 no)
  set(SPOOLSYNC_MSI_COMPONENT_GUID 0A13B47B-C151-4003-83B0-B82667A80F6E)
endif()

set(SPOOLSYNC_MSI_ENABLED OFF)
find_program(SPOOLSYNC_WIXL wixl DOC "wixl (msitools), builds the Windows Installer package")
if(NOT SPOOLSYNC_WIXL OR NOT EXISTS "${SPOOLSYNC_WIXL}")
  message(WARNING "wixl not found (${SPOOLSYNC_WIXL}): the Windows Installer package (target msi) is NOT built, "
                  "and its tests are skipped. Debian: scripts/install-deps.sh windows")
  return()
endif()
set(SPOOLSYNC_MSI_ENABLED ON)

# wixl looks for File/@Source relative to the .wxs file: it goes next to the exe.
set(SPOOLSYNC_WXS "${CMAKE_CURRENT_BINARY_DIR}/spoolsync.wxs")
configure_file("${CMAKE_CURRENT_LIST_DIR}/spoolsync.wxs.in" "${SPOOLSYNC_WXS}" @ONLY)

# TARGET: the custom target's name; OUTPUT: the package's path; VERSION: X.Y.Z.
# ALL: built by default. DEFINES: more wixl variables.
function(spoolsync_add_msi)
  cmake_parse_arguments(PARSE_ARGV 0 arg "ALL" "TARGET;OUTPUT;VERSION" "DEFINES")
  set(defines "")
  foreach(define IN LISTS arg_DEFINES)
    list(APPEND defines -D "${define}")
  endforeach()
  if(NOT arg_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "spoolsync_add_msi: version ${arg_VERSION} is not X.Y.Z")
  endif()
  # The first version above this one that Windows Installer tells apart
  # (it compares major.minor.build).
  math(EXPR next_patch "${CMAKE_MATCH_3} + 1")
  set(upgrade_below "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${next_patch}")
  if(arg_ALL)
    set(all ALL)
  else()
    set(all "")
  endif()
  # Signed (windows/signing.cmake) after packaging: it holds the executable,
  # signed already, and is signed as a whole.
  spoolsync_sign_command(sign "${arg_OUTPUT}" "spoolsync ${arg_VERSION} package")
  if(sign)
    set(sign COMMAND ${sign})
  endif()
  add_custom_command(
    OUTPUT "${arg_OUTPUT}"
    COMMAND "${SPOOLSYNC_WIXL}" -a ${SPOOLSYNC_MSI_ARCH} -D "Version=${arg_VERSION}" -D "UpgradeBelow=${upgrade_below}"
            ${defines} -o "${arg_OUTPUT}" "${SPOOLSYNC_WXS}"
    ${sign}
    DEPENDS spoolsync "${SPOOLSYNC_WXS}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/spoolsync.wxs.in" ${SPOOLSYNC_SIGN_PKCS12}
    COMMENT "Building the Windows Installer package ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${arg_TARGET} ${all} DEPENDS "${arg_OUTPUT}")
endfunction()

set(SPOOLSYNC_MSI "${CMAKE_CURRENT_BINARY_DIR}/spoolsync-${PROJECT_VERSION}-${SPOOLSYNC_MSI_ARCH}.msi")
spoolsync_add_msi(ALL TARGET msi OUTPUT "${SPOOLSYNC_MSI}" VERSION "${PROJECT_VERSION}")
message(STATUS "Windows Installer package: ${SPOOLSYNC_MSI} (target msi, ${SPOOLSYNC_WIXL})")
