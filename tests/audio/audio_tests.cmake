vexlink_add_test(audio_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/PcmLevelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OpusVoiceDecoderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LoopbackWriterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LocalPlayerTest.cpp
  LIBS vexlink_audio
  LABELS audio)
