# Media packet readers (over real UDP with real Opus, and over a scripted
# stream) and the reception statistics.
vexlink_add_test(media_packet_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/PacketReaderTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReceptionStatsTests.cpp
  LIBS vexlink_media PkgConfig::OPUS
  LABELS media)
