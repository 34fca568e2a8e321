# Audio-to-haptics: the band analysis of one second of stereo 48 kHz audio,
# in single- and double-precision processing, and its heap allocations.
vbz_add_bench(orv_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/orv_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/CountingAllocator.cpp LIBS vbz_orvfx_processor)
