# Legacy back-end: lateness of due samples with 10 effects on 20 slots, API
# latency while they play, and what an idle vest receives, against the
# in-process emulated playback board (answers 1 ms late).
vbz_add_bench(sequencer_effects_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/sequencer_effects_bench.cpp
  LIBS vbz_sequencer vbz_hidapi_double)
