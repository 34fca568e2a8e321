vbz_add_bench(sequencer_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sequencer_bench.cpp LIBS vbz_sequencer)
