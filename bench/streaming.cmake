# Vest stream: encoding cost per frame (and its allocations), and whole
# stream runs at 80 requests/s over the hidapi double with the emulated vest
# measuring every request-to-frame latency.
vbz_add_bench(streaming_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/streaming_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/CountingAllocator.cpp
  LIBS vbz_streaming vbz_device vbz_hidapi_double)
