# The whole client against the phone simulator on loopback, one network
# profile and playout strategy per run (scripts/bench-e2e.sh runs them all in
# Release and writes bench/results/end-to-end.md). A plain program: each run
# is up to a minute and a quarter of real-time voice in a process of its own,
# which Google Benchmark's repeated iterations do not fit.
set(_vexlink_bench_support
  ${CMAKE_CURRENT_LIST_DIR}/support/AdaptiveStrategyView.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/BenchProbe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/CaptureTiming.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/ClickDetector.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/GraphTap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/PhoneProcess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/PipeWireCapture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/PipeWireRun.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/ReferenceVoice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/ResultTable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/RunAnalysis.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/TickStrategyView.cpp
)
add_executable(end_to_end_bench ${CMAKE_CURRENT_LIST_DIR}/EndToEndBench.cpp ${_vexlink_bench_support})
target_include_directories(end_to_end_bench PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support)
target_link_libraries(end_to_end_bench PRIVATE vexlink_control vexlink_pipewire vexlink_phonesim)
if(TARGET vexlink_test_support)
  target_link_libraries(end_to_end_bench PRIVATE vexlink_test_support)
else()
  # A build without the tests: take the ALSA routing and private PipeWire
  # session helpers directly.
  target_sources(end_to_end_bench PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/support/AlsaRouting.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/ChildProcess.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/PipeWireSession.cpp)
  target_include_directories(end_to_end_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(end_to_end_bench PRIVATE VEXLINK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
