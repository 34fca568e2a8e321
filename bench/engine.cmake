# Rendering engine: render_buffer with N sounding sequences at the vest's two
# rates, and the heap allocations of its steady state (counting operator new).
vbz_add_bench(engine_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/CountingAllocator.cpp LIBS vbz_tessaron)
