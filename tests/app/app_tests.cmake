# The front end's parts in-process.
vexlink_add_test(app_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/FrontEndTest.cpp LIBS vexlink_app LABELS app)

# The vexlink binary run as a real process, against the phone simulator.
vexlink_add_test(app_cli_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/VexlinkProcessTest.cpp
  LIBS vexlink_phonesim LABELS app TIMEOUT 180)
add_dependencies(app_cli_tests vexlink)
