vexlink_add_test(transport_tests
  SOURCES
    ControlStreamTest.cpp
    SocketUtilTest.cpp
    WinSockStreamTest.cpp
    ServerConnectionTest.cpp
  LIBS vexlink_connection vexlink_settings Threads::Threads
  LABELS transport)
