-- The tests' private session must not open this machine's sound cards,
-- cameras or Bluetooth: the machine's own session may be using them.
-- Sorted between the 50-*-config and 90-enable-all fragments. Without devices PipeWire's dummy driver runs the graph.
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
