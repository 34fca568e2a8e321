# Pattern loading: reading, checking and counting the simultaneous samples of
# patterns of 1k, 10k and 50k tracks; the time per byte of text shows whether
# the load grows linearly with the text.
vbz_add_bench(pattern_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/pattern_bench.cpp LIBS vbz_tessaron)
