# Whole sessions with the real vexlink binary against the phone simulator.
vexlink_add_test(e2e_session_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/SessionTests.cpp
  LIBS vexlink_phonesim PkgConfig::OPUS
  LABELS e2e
  TIMEOUT 120)
add_dependencies(e2e_session_tests vexlink)
