# Cost of one 20 ms voice frame: bare Opus decode against the whole receive
# path (UDP read, decode, gain, statistics).
vexlink_add_bench(media_path_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/MediaPathBench.cpp
  LIBS vexlink_media PkgConfig::OPUS)
