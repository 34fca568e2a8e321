# Audio-device stream on a private JACK server (dummy driver) that the
# benchmark starts itself with scripts/jack_test_server.sh: CPU of the stream
# loop's thread and of the audio callback's, idle and playing, and how long
# each callback waited for its block. Needs the sink helper of the tests.
if(TARGET jack_sink_clients)
  find_package(GTest REQUIRED)
  vbz_add_bench(audio_stream_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_stream_bench.cpp
    LIBS vbz_streaming GTest::gtest)
  target_compile_definitions(audio_stream_bench PRIVATE
    VBZ_JACK_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/jack_test_server.sh"
    VBZ_JACK_SINKS="$<TARGET_FILE:jack_sink_clients>"
    VBZ_JACK_BENCH_STATE="${CMAKE_CURRENT_BINARY_DIR}/jack-server-audio")
  add_dependencies(audio_stream_bench jack_sink_clients)
endif()
