vexlink_add_test(audio_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VoiceSamplesTest.cpp ${CMAKE_CURRENT_LIST_DIR}/AlsaOutputTest.cpp
  LIBS vexlink_audio
  LABELS audio)
