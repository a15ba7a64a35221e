# The status line: its text, its place among the console lines, and the
# vexlink binary with standard error a terminal, a pipe or a file.
vexlink_add_test(status_line_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/StatusLineTest.cpp
  LIBS vexlink_app vexlink_phonesim LABELS app TIMEOUT 120)
add_dependencies(status_line_tests vexlink)
