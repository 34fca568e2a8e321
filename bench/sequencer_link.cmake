# Legacy back-end: idle cost of its two threads, transaction rate, connect
# time over USB and Wi-Fi, and API latency while a transaction waits, all
# against the in-process emulated playback board.
find_package(GTest REQUIRED)
vbz_add_bench(sequencer_link_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/sequencer_link_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/NetNamespace.cpp
  LIBS vbz_sequencer vbz_hidapi_double vbz_udp_vest_server GTest::gtest)
