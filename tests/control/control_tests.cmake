# Queues, the playout tick and the receive logic, driven directly.
vexlink_add_test(control_unit_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/QueueTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PlayoutTickTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VoiceReceiverTests.cpp
  LIBS vexlink_control
  LABELS control)
