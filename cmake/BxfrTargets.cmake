# Warnings and sanitizers for the project's own targets only.
function(bxfr_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  # GCC 12 at -O3 reports overlaps inside std::string that cannot happen (its bug 105329).
  target_compile_options(${target} PRIVATE
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-restrict>)
  if(BXFR_SANITIZE OR BXFR_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  # Coverage for libFuzzer's guidance; the fuzz targets add its main when they link.
  if(BXFR_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# bxfr_library(NAME SOURCES ... DEPS ...): one library per layer folder.
function(bxfr_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  target_compile_definitions(${name} PUBLIC BXFR_VERSION="${BXFR_VERSION}")
  bxfr_target_options(${name})
  if(BXFR_SANITIZE OR BXFR_FUZZ)
    target_link_options(${name} INTERFACE -fsanitize=address,undefined)
  endif()
endfunction()

# The test programs' options: GCC 12 also sees std::string's inlined copies out of bounds where
# they are not (as in its bug 105329 above), the more so behind the precompiled header.
function(bxfr_test_options target)
  bxfr_target_options(${target})
  target_compile_options(${target} PRIVATE
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-array-bounds -Wno-stringop-overflow>)
endfunction()

# bxfr_test(NAME SOURCES ... DEPS ... [NO_PCH]): one GoogleTest binary, its cases discovered by
# CTest; NO_PCH for one that links Qt, whose -fPIC the shared precompiled header was built without.
function(bxfr_test name)
  cmake_parse_arguments(ARG "NO_PCH" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    BXFR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    BXFR_TEST_PYTHON="/usr/bin/python3")
  bxfr_test_options(${name})
  if(TARGET bxfr_gtest_pch AND NOT ARG_NO_PCH)
    target_precompile_headers(${name} REUSE_FROM bxfr_gtest_pch)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()
