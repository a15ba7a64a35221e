# Cost of the status line's figures on the timer thread (one frame's
# publication) and of one redraw's text on the status thread.
vexlink_add_bench(playout_status_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PlayoutStatusBench.cpp
  LIBS vexlink_app)
