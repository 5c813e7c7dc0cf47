# Helpers shared by every folder: one static library per source folder, one test
# executable per test folder, one benchmark executable per bench source.

set(BELVANTO_WARNINGS -Wall -Wextra)

if(BELVANTO_SANITIZE)
  add_compile_options(-fsanitize=${BELVANTO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${BELVANTO_SANITIZE})
  if(BELVANTO_SANITIZE MATCHES "undefined")
    # Tests that starve the controller of descriptors skip there (see their reason).
    add_compile_definitions(BELVANTO_SANITIZE_UNDEFINED=1)
  endif()
endif()
if(BELVANTO_FUZZ)
  # Coverage feedback for libFuzzer in every library the targets link.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# belvanto_library(<folder> [DEPS targets...])
# Builds belvanto_<folder> from src/<folder>/*.cpp with src/<folder>/include public.
function(belvanto_library folder)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(_target belvanto_${folder})
  add_library(${_target} STATIC ${_srcs})
  target_include_directories(${_target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
  target_compile_options(${_target} PRIVATE ${BELVANTO_WARNINGS})
  target_link_libraries(${_target} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  add_library(belvanto::${folder} ALIAS ${_target})
endfunction()

# belvanto_tests(<folder> [LIBS targets...] [TIMEOUT seconds])
# One GoogleTest executable from tests/<folder>/*_test.cpp; every test is registered
# in CTest with the folder as its label.
function(belvanto_tests folder)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  set(_target ${folder}_tests)
  add_executable(${_target} ${_srcs})
  target_compile_options(${_target} PRIVATE ${BELVANTO_WARNINGS})
  target_link_libraries(${_target} PRIVATE ${ARG_LIBS} belvanto_testsupport
    GTest::gmock GTest::gtest Threads::Threads)
  target_compile_definitions(${_target} PRIVATE
    BELVANTO_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures")
  gtest_discover_tests(${_target}
    DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS ${folder} TIMEOUT ${ARG_TIMEOUT})
endfunction()

# belvanto_benchmark(<name> <source> [LIBS targets...])
function(belvanto_benchmark name source)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name} ${source})
  target_compile_options(${name} PRIVATE ${BELVANTO_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

# belvanto_fuzz_target(<name> <source> [LIBS targets...])
# <source> defines LLVMFuzzerTestOneInput. fuzz/<name>/corpus holds the seed inputs and
# fuzz/<name>/dict (optional) the dictionary. In every build the seeds are replayed by
# CTest (label fuzz) through a small driver; with BELVANTO_FUZZ=ON (clang) the target is
# also linked with libFuzzer as fuzz_<name> for long runs (scripts/fuzz.sh).
function(belvanto_fuzz_target name source)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  set(_replay fuzz_${name}_replay)
  add_executable(${_replay} ${source} ${PROJECT_SOURCE_DIR}/fuzz/ReplayMain.cpp)
  target_compile_options(${_replay} PRIVATE ${BELVANTO_WARNINGS})
  target_link_libraries(${_replay} PRIVATE ${ARG_LIBS} belvanto_testsupport Threads::Threads)
  target_compile_definitions(${_replay} PRIVATE
    BELVANTO_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures")
  add_test(NAME fuzz_${name}_corpus
           COMMAND ${_replay} ${CMAKE_CURRENT_SOURCE_DIR}/corpus)
  set_tests_properties(fuzz_${name}_corpus PROPERTIES LABELS fuzz TIMEOUT 300)
  if(BELVANTO_FUZZ)
    add_executable(fuzz_${name} ${source})
    target_compile_options(fuzz_${name} PRIVATE ${BELVANTO_WARNINGS} -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS} belvanto_testsupport Threads::Threads)
    target_compile_definitions(fuzz_${name} PRIVATE
      BELVANTO_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures")
  endif()
endfunction()
