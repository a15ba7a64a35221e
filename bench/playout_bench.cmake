# Cost of the adaptive playout core per second of voice against what the
# queue-paced tick spends (one decode and one copy per frame), and its
# resampler against libspeexdsp's (when installed) at the same ratio.
pkg_check_modules(SPEEXDSP IMPORTED_TARGET speexdsp)
vexlink_add_bench(playout_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PlayoutBench.cpp
  LIBS vexlink_playout PkgConfig::OPUS)
if(SPEEXDSP_FOUND)
  target_link_libraries(playout_bench PRIVATE PkgConfig::SPEEXDSP)
  target_compile_definitions(playout_bench PRIVATE VEXLINK_BENCH_SPEEXDSP=1)
endif()
