# Bluetooth transport: SDP record walk, service search order, RFCOMM stream.
vexlink_add_test(vexlink_bluetooth_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/BtServiceSearchTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BtDeviceStreamTest.cpp
  LIBS vexlink_transport
  LABELS transport bluetooth)
