# Bluetooth transport: SDP record walk, service search order, RFCOMM stream,
# and a Bluetooth connection driven through the server connection.
vexlink_add_test(vexlink_bluetooth_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/BtServiceSearchTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BtDeviceStreamTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BtConnectionTest.cpp
  LIBS vexlink_transport vexlink_connection vexlink_settings
  LABELS transport bluetooth)
