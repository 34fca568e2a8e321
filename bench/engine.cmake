# Rendering engine: render_buffer with N sounding sequences at the vest's two
# rates on each kernel path, side by side with the reference loop of
# ReferenceLoop.h built for the same path, and the heap allocations of the
# steady state (counting operator new).
set(VBZ_ENGINE_BENCH_SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reference_loop_baseline.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/CountingAllocator.cpp)
if(VBZ_COMPILER_HAS_AVX2 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  list(APPEND VBZ_ENGINE_BENCH_SOURCES ${CMAKE_CURRENT_LIST_DIR}/reference_loop_avx2.cpp)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/reference_loop_avx2.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma;-ffp-contract=fast")
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/reference_loop_baseline.cpp
    PROPERTIES COMPILE_DEFINITIONS VBZ_BENCH_AVX2)
endif()
vbz_add_bench(engine_bench SOURCES ${VBZ_ENGINE_BENCH_SOURCES} LIBS vbz_tessaron)
