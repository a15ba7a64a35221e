vexlink_add_test(phonesim_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/PhoneSimControlTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PhoneSimMediaTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PhoneSimCliTest.cpp
  LIBS vexlink_phonesim vexlink_transport
  LABELS tools)
target_compile_definitions(phonesim_tests PRIVATE VEXLINK_PHONESIM_BINARY="$<TARGET_FILE:vexlink-phone-sim>")
add_dependencies(phonesim_tests vexlink-phone-sim)

