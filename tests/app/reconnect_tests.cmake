# --reconnect: the shared rule, and the vexlink binary against the phone simulator.
vexlink_add_test(app_reconnect_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/ReconnectProcessTest.cpp
  LIBS vexlink_control vexlink_phonesim LABELS app TIMEOUT 180)
add_dependencies(app_reconnect_tests vexlink)
