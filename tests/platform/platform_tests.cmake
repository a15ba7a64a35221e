vexlink_add_test(platform_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/MutexSemaphoreTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ThreadClockTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PeriodicTimerTest.cpp
  LIBS vexlink_platform
  LABELS platform)
