# The phone simulator: a library that tests and benchmarks run in-process,
# and a command-line program over it for the demo and manual checks.
add_library(vexlink_phonesim STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ChirpSignal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ControlSession.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EndpointText.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ImpairmentModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MediaPacketWriter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MediaSender.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OpusFrameEncoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PhoneSimCli.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PhoneSimulator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimulatorRecord.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StreamLink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ToneSignal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TremoloSignal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WakeFd.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WavSignal.cpp
)
target_include_directories(vexlink_phonesim PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vexlink_phonesim PUBLIC vexlink_platform PkgConfig::OPUS Threads::Threads)

add_executable(vexlink-phone-sim ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(vexlink-phone-sim PRIVATE vexlink_phonesim)
install(TARGETS vexlink-phone-sim RUNTIME DESTINATION bin)
