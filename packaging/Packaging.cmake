# What `cmake --install` puts under the prefix besides the programs (which
# their own folders install), the Debian package built by `cpack`, and the
# packaging tests. Included once from the top-level CMakeLists.txt, after all
# targets are defined.
#
#   <prefix>/bin/vexlink, vexlink-phone-sim         (app/, tools/phonesim/)
#   <prefix>/bin/vexlink-loopback                   the loopback set-up helper
#   <prefix>/share/man/man1/vexlink.1.gz, vexlink-loopback.1.gz
#   <prefix>/share/bash-completion/completions/vexlink, vexlink-loopback
#   <prefix>/share/doc/vexlink/README.md

include(GNUInstallDirs)

set(VEXLINK_HOMEPAGE "https://vexlink.example.org")
set(VEXLINK_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
set(_vexlink_pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(_vexlink_pkg_out ${PROJECT_BINARY_DIR}/packaging)

# --- manual pages: version filled in, compressed as Debian expects ----------
set(_vexlink_man_pages vexlink.1 vexlink-loopback.1)
set(_vexlink_man_outputs "")
foreach(_page IN LISTS _vexlink_man_pages)
  configure_file(${_vexlink_pkg_src}/man/${_page}.in ${_vexlink_pkg_out}/${_page} @ONLY)
  add_custom_command(
    OUTPUT ${_vexlink_pkg_out}/${_page}.gz
    COMMAND ${CMAKE_COMMAND} -DIN=${_vexlink_pkg_out}/${_page} -DOUT=${_vexlink_pkg_out}/${_page}.gz
            -P ${_vexlink_pkg_src}/GzipFile.cmake
    DEPENDS ${_vexlink_pkg_out}/${_page} ${_vexlink_pkg_src}/GzipFile.cmake
    COMMENT "Compressing manual page ${_page}"
    VERBATIM)
  list(APPEND _vexlink_man_outputs ${_vexlink_pkg_out}/${_page}.gz)
endforeach()
add_custom_target(vexlink_man_pages ALL DEPENDS ${_vexlink_man_outputs})

install(FILES ${_vexlink_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(PROGRAMS ${_vexlink_pkg_src}/vexlink-loopback DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${_vexlink_pkg_src}/completion/vexlink ${_vexlink_pkg_src}/completion/vexlink-loopback
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The programs that must end up in <prefix>/bin; the tests and the package
# check look for exactly these.
set(VEXLINK_INSTALLED_PROGRAMS vexlink vexlink-loopback)
if(TARGET vexlink-phone-sim)
  list(APPEND VEXLINK_INSTALLED_PROGRAMS vexlink-phone-sim)
else()
  message(STATUS "vexlink: no vexlink-phone-sim target yet; it is left out of the install checks")
endif()

# --- the Debian package -------------------------------------------------------
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vexlink")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "vexlink developers")
set(CPACK_PACKAGE_CONTACT "vexlink maintainers <maintainers@vexlink.example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "${VEXLINK_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "use an Android phone as the PC's microphone")
# One line each as it appears in the package (under 80 columns); no double
# quotes, which do not survive the trip through CPackConfig.cmake.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
vexlink receives the voice that a server app on an Android phone captures,
over WiFi (a TCP control connection and UDP voice) or Bluetooth (one RFCOMM
link), decodes it (Opus) and writes it into the ALSA loopback card, so that
any recording program - a call, a recorder, a browser - can use the phone
as its microphone.

Also included: vexlink-loopback, which loads the loopback card (snd-aloop)
now and at every boot and can add a 'Phone microphone' input to PipeWire or
PulseAudio; and vexlink-phone-sim, a phone simulator to try vexlink with.]=])
string(STRIP "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}" CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# modprobe for vexlink-loopback, arecord/aplay for checking the card, pactl
# for the "Phone microphone", bluetoothctl for pairing.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "kmod, alsa-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pulseaudio-utils, bluez")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_VEXLINK_MULTIARCH "${CMAKE_LIBRARY_ARCHITECTURE}")
set(CPACK_PROJECT_CONFIG_FILE "${_vexlink_pkg_src}/CPackProjectConfig.cmake")
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-[^/]*/" "/out/")
include(CPack)

# --- tests ------------------------------------------------------------------
# Every `test_*` function in tests/packaging/*_test.sh is one CTest case, run
# in its own shell, labelled "packaging".
if(VEXLINK_BUILD_TESTS)
  file(GLOB _vexlink_pkg_test_scripts CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/packaging/*_test.sh)
  list(SORT _vexlink_pkg_test_scripts)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_vexlink_pkg_test_scripts})
  # ':'-separated: a ';' would split the ENVIRONMENT property.
  string(REPLACE ";" ":" _vexlink_pkg_programs "${VEXLINK_INSTALLED_PROGRAMS}")
  set(_vexlink_pkg_test_env
    "VEXLINK_BINARY_DIR=${PROJECT_BINARY_DIR}"
    "VEXLINK_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "VEXLINK_PACKAGING_OUT=${_vexlink_pkg_out}"
    "VEXLINK_HOMEPAGE=${VEXLINK_HOMEPAGE}"
    "VEXLINK_PROGRAM=$<TARGET_FILE:vexlink>"
    "VEXLINK_INSTALLED_PROGRAMS=${_vexlink_pkg_programs}"
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/sanitizers/lsan.supp:print_suppressions=0"
    "TSAN_OPTIONS=halt_on_error=1:suppressions=${PROJECT_SOURCE_DIR}/tests/sanitizers/tsan.supp")
  foreach(_script IN LISTS _vexlink_pkg_test_scripts)
    get_filename_component(_suite ${_script} NAME_WE)
    string(REGEX REPLACE "_test$" "" _suite "${_suite}")
    file(STRINGS ${_script} _cases REGEX "^test_[A-Za-z0-9_]+\\(\\)")
    foreach(_case IN LISTS _cases)
      string(REGEX REPLACE "^(test_[A-Za-z0-9_]+)\\(\\).*$" "\\1" _case "${_case}")
      string(REGEX REPLACE "^test_" "" _name "${_case}")
      add_test(NAME packaging.${_suite}.${_name} COMMAND bash ${_script} ${_case})
      set_tests_properties(packaging.${_suite}.${_name} PROPERTIES
        LABELS packaging TIMEOUT 120 SKIP_RETURN_CODE 77
        ENVIRONMENT "${_vexlink_pkg_test_env}")
    endforeach()
  endforeach()
endif()
