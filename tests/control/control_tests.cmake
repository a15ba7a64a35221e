# Queues, the playout tick and the receive logic, driven directly.
vexlink_add_test(control_unit_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/QueueTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PlayoutTickTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VoiceReceiverTests.cpp
  LIBS vexlink_control
  LABELS control)

# The controller in-process against the phone simulator on 127.0.0.1.
vexlink_add_test(control_session_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/MicControllerTests.cpp
  LIBS vexlink_control vexlink_phonesim PkgConfig::OPUS
  LABELS control
  TIMEOUT 90)

# Voice from the simulator to the routed ALSA files.
vexlink_add_test(control_voice_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/VoiceFlowTests.cpp
  LIBS vexlink_control vexlink_phonesim PkgConfig::OPUS
  LABELS control
  TIMEOUT 90)
