# Vest stream: encoding cost per frame (and its allocations), and whole
# stream runs at 80 requests/s over the hidapi double and over UDP between
# private network namespaces, with the emulated vest measuring every
# request-to-frame latency. The namespace rig leaves the process's network
# namespace before main (it needs GoogleTest's environment hook).
find_package(GTest REQUIRED)
vbz_add_bench(streaming_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/streaming_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/CountingAllocator.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/NetNamespace.cpp
  LIBS vbz_streaming vbz_device vbz_hidapi_double vbz_udp_vest_server GTest::gtest)
