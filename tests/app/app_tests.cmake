# In-process tests of the front end's pieces and of the settings record.
vexlink_add_test(app_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/CommandLineTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ConsoleTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SettingsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SignalWatcherTest.cpp
  LIBS vexlink_app
  LABELS app)

# The vexlink binary run as a real process.
vexlink_add_test(app_cli_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/VexlinkProcessTest.cpp
  LIBS vexlink_app
  LABELS app
  TIMEOUT 180)
add_dependencies(app_cli_tests vexlink)
