vbz_add_bench(spatial_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/spatial_bench.cpp LIBS vbz_tessaron)
