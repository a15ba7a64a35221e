# The benchmark's own measures (bench/support), which are built here as well
# so that the sanitizer builds, which leave the benchmarks out, check them.
vexlink_add_test(bench_support_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/CaptureTimingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ClickDetectorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ResultTableTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RunAnalysisTest.cpp
    ${PROJECT_SOURCE_DIR}/bench/support/CaptureTiming.cpp
    ${PROJECT_SOURCE_DIR}/bench/support/ClickDetector.cpp
    ${PROJECT_SOURCE_DIR}/bench/support/ResultTable.cpp
    ${PROJECT_SOURCE_DIR}/bench/support/RunAnalysis.cpp
  LIBS vexlink_phonesim PkgConfig::OPUS
  LABELS bench)
target_include_directories(bench_support_tests PRIVATE ${PROJECT_SOURCE_DIR}/bench/support)
