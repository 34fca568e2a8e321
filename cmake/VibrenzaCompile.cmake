# Compile settings shared by every target of the project.
add_library(vbz_warnings INTERFACE)
target_compile_options(vbz_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra>
  $<$<AND:$<BOOL:${VBZ_WERROR}>,$<COMPILE_LANGUAGE:CXX,C>>:-Werror>)

# VBZ_SANITIZE: OFF, ON (AddressSanitizer + UndefinedBehaviorSanitizer) or
# "thread" (ThreadSanitizer; run with TSAN_OPTIONS naming
# scripts/tsan.supp, see scripts/tsan.sh).
if(VBZ_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # std::timed_mutex's steady-clock waits made visible to TSan (see the
  # file); every test executable links it (tests/CMakeLists.txt).
  add_library(vbz_tsan_clocklock OBJECT ${PROJECT_SOURCE_DIR}/tests/support/tsan/clocklock_shim.c)
elseif(VBZ_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# VBZ_FUZZ (clang): every target gets libFuzzer's coverage, and the fuzz
# targets of tests/fuzz/ are built (scripts/fuzz.sh; with VBZ_SANITIZE=ON).
option(VBZ_FUZZ "Build the libFuzzer targets (clang)" OFF)
if(VBZ_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# vbz_internal_library(name [sources...]): a position-independent static library
# whose headers are included from the project root ("sdk/core/LogLine.h").
function(vbz_internal_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE vbz_warnings)
endfunction()
