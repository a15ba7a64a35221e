# Instructions per voice second of each playout strategy under callgrind, on
# one recorded arrival trace (scripts/bench-e2e.sh runs it).
add_executable(playout_replay_bench
  ${CMAKE_CURRENT_LIST_DIR}/PlayoutReplayBench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/AdaptiveReplay.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/ArrivalTrace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/TickReplay.cpp)
target_include_directories(playout_replay_bench PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support)
target_link_libraries(playout_replay_bench PRIVATE vexlink_control vexlink_phonesim)
find_path(VEXLINK_CALLGRIND_INCLUDE_DIR valgrind/callgrind.h)
if(VEXLINK_CALLGRIND_INCLUDE_DIR)
  target_compile_definitions(playout_replay_bench PRIVATE VEXLINK_HAVE_CALLGRIND)
  target_include_directories(playout_replay_bench PRIVATE ${VEXLINK_CALLGRIND_INCLUDE_DIR})
endif()
