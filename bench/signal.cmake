# Signal path: the low-pass table's build (part of the library's load time)
# and the resampler's cost per block.
vbz_add_bench(signal_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/signal_bench.cpp LIBS vbz_tessaron)
