# The client under network faults and hostile input.

# In-process scenarios of a few seconds of voice each.
vexlink_add_test(fault_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ImpairedVoiceTests.cpp
  LIBS vexlink_control vexlink_phonesim PkgConfig::OPUS
  LABELS faults
  TIMEOUT 120)

# The vexlink process against a failing phone.
vexlink_add_test(fault_process_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PeerFailureTests.cpp
  LIBS vexlink_phonesim
  LABELS faults
  TIMEOUT 120)
add_dependencies(fault_process_tests vexlink)
