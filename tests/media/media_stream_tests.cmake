vexlink_add_test(media_stream_tests
  SOURCES
    WifiMediaStreamTest.cpp
    MediaStreamBluetoothTest.cpp
  LIBS vexlink_media Threads::Threads
  LABELS media)
