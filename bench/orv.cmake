# Audio-to-haptics: the band analysis and the processor's process of one
# second of stereo 48 kHz audio, in single- and double-precision processing,
# the loopback path (mono encode at 48 kHz, decode at 2 kHz), and the heap
# allocations of each.
vbz_add_bench(orv_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/orv_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/CountingAllocator.cpp LIBS vbz_orvfx_processor)
