# Audio to haptics on a private JACK server (dummy driver) that the benchmark
# starts itself with scripts/jack_test_server.sh: burst onset to the first
# non-zero sample at the emulated USB vest, and the process's CPU while the
# capture runs idle and while it streams sound. Needs the sink helper of the
# tests (tools/jack-sinks).
if(TARGET jack_sink_clients)
  find_package(GTest REQUIRED)
  vbz_add_bench(orv_jack_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/orv_jack_bench.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/NetNamespace.cpp
    LIBS vbz_sdk vbz_hidapi_double PkgConfig::VBZ_JACK GTest::gtest)
  target_compile_definitions(orv_jack_bench PRIVATE
    VBZ_JACK_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/jack_test_server.sh"
    VBZ_JACK_SINKS="$<TARGET_FILE:jack_sink_clients>"
    VBZ_JACK_BENCH_STATE="${CMAKE_CURRENT_BINARY_DIR}/jack-server")
  add_dependencies(orv_jack_bench jack_sink_clients)
endif()
