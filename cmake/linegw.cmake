# Shared build rules: warnings as errors, sanitizers, one library per folder,
# and the test helpers every tests/<folder> uses.

add_compile_options(-Wall -Wextra -Werror -Wno-unused-parameter)
# GCC 12 at -O3 reports overlapping copies inside std::string that cannot
# happen (its bugs 105329, 105651), on ordinary assignments and concatenations.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()

# Sanitizer builds only run tests: a lighter optimisation and line tables
# are enough for their reports and build much faster.
if(NOT LINEGW_SANITIZE STREQUAL "")
  set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O1 -g1 -DNDEBUG")
  set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O1 -g1 -DNDEBUG")
endif()

if(LINEGW_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(LINEGW_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT LINEGW_SANITIZE STREQUAL "")
  message(FATAL_ERROR "LINEGW_SANITIZE must be address, thread or empty")
endif()

# The fuzz targets are built in the clang AddressSanitizer tree: its libraries
# carry the fuzzer's coverage hooks, so the targets link them as they are.
# A folder that is not fuzzed sets LINEGW_FUZZ_COVERAGE OFF for its libraries.
set(LINEGW_FUZZ OFF)
if(LINEGW_SANITIZE STREQUAL "address" AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(LINEGW_FUZZ ON)
endif()
set(LINEGW_FUZZ_COVERAGE ${LINEGW_FUZZ})

# lld links the many sanitized test binaries several times faster than ld.bfd.
if(NOT LINEGW_SANITIZE STREQUAL "")
  add_link_options(-fuse-ld=lld)
endif()

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# Libraries and test binaries build as unity units: a few sources compiled as
# one, so their common headers are parsed once. Names local to a file (static
# functions, unnamed namespaces, constants) must therefore differ across each
# target's sources; -DLINEGW_UNITY_BATCH_SIZE=0 puts each target's sources in
# one unit, which shows every clash at once. A source that cannot share a unit
# opts out with the source property SKIP_UNITY_BUILD_INCLUSION.
set(LINEGW_UNITY_BATCH_SIZE 8 CACHE STRING "sources per unity unit (0: a target's sources in one)")
# A type in an unnamed namespace of an included source looks to GCC like one
# in a header shared by several sources.
function(linegw_unity target)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${LINEGW_UNITY_BATCH_SIZE})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
  endif()
endfunction()

# linegw_library(name SOURCES ... [LIBS ...] [DAEMON])
# A folder's library; LIBS are the lower layers it uses. DAEMON makes it one of
# the subsystems daemon/ assembles into the linegw binary.
function(linegw_library name)
  cmake_parse_arguments(L "DAEMON" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  linegw_unity(${name})
  if(LINEGW_FUZZ_COVERAGE)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
  set_property(GLOBAL APPEND PROPERTY LINEGW_LIBRARIES ${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_LIBS} Threads::Threads)
  if(L_DAEMON)
    set_property(GLOBAL APPEND PROPERTY LINEGW_DAEMON_LIBS ${name})
  endif()
endfunction()

# linegw_check_layers(): the folders use each other in one order. A cycle in
# the libraries' links fails the configure step; a cycle in the includes
# between folders fails every build (target layer_check) and the test suite.
function(linegw_check_layers)
  get_property(libs GLOBAL PROPERTY LINEGW_LIBRARIES)
  foreach(lib ${libs})
    get_target_property(queue ${lib} LINK_LIBRARIES)
    set(seen "")
    while(queue)
      list(POP_FRONT queue dep)
      if(dep STREQUAL lib)
        message(FATAL_ERROR "library ${lib} links back to itself (through ${seen})")
      endif()
      if(NOT dep IN_LIST libs OR dep IN_LIST seen)
        continue()
      endif()
      list(APPEND seen ${dep})
      get_target_property(more ${dep} LINK_LIBRARIES)
      if(more)
        list(APPEND queue ${more})
      endif()
    endwhile()
  endforeach()
  add_custom_target(layer_check ALL
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check-layers ${PROJECT_SOURCE_DIR}
    COMMENT "Checking that the folders include each other without a cycle"
    VERBATIM)
endfunction()

# Test code is compiled lightly: its speed does not matter and the test
# framework's templates are most of a build. The framework's headers are
# compiled once and shared by every test. In the sanitizer trees test code is
# not optimised at all (it compiles three times faster; the code under test
# keeps the tree's -O1).
set(LINEGW_TEST_OPTIONS -O1 -g0)
if(NOT LINEGW_SANITIZE STREQUAL "")
  set(LINEGW_TEST_OPTIONS -O0)
endif()
# linegw_test_pch(): called where the test framework has been found. Test code
# that links the simulator also gets its JSON header, the slowest to parse.
function(linegw_test_pch)
  file(WRITE ${PROJECT_BINARY_DIR}/test_pch.cpp "")
  set(headers <gtest/gtest.h> <gmock/gmock.h>
    <string> <vector> <map> <memory> <functional> <thread> <chrono> <atomic> <mutex>)
  foreach(pch linegw_test_pch linegw_test_sim_pch)
    add_library(${pch} OBJECT ${PROJECT_BINARY_DIR}/test_pch.cpp)
    target_compile_options(${pch} PRIVATE ${LINEGW_TEST_OPTIONS})
    target_link_libraries(${pch} PRIVATE GTest::gtest GTest::gmock)
  endforeach()
  target_precompile_headers(linegw_test_pch PRIVATE ${headers})
  target_precompile_headers(linegw_test_sim_pch PRIVATE ${headers} <nlohmann/json.hpp>)
endfunction()

# linegw_test_flags(target [SIM]): the include path, options and shared header
# of test code; SIM for code that uses the simulator.
function(linegw_test_flags target)
  cmake_parse_arguments(F "SIM" "" "" ${ARGN})
  target_compile_options(${target} PRIVATE ${LINEGW_TEST_OPTIONS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  if(F_SIM)
    target_precompile_headers(${target} REUSE_FROM linegw_test_sim_pch)
  else()
    target_precompile_headers(${target} REUSE_FROM linegw_test_pch)
  endif()
endfunction()

# linegw_test(name SOURCES ... [LIBS ...] [LABELS ...])
# A GoogleTest binary; every test in it becomes a CTest test.
# LABELS threads marks tests that also run under ThreadSanitizer (one label).
function(linegw_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  linegw_unity(${name})
  if(T_LIBS MATCHES "(^|;)lg_sim")
    linegw_test_flags(${name} SIM)
  else()
    linegw_test_flags(${name})
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  set(label unit)
  if(T_LABELS)
    set(label ${T_LABELS})
  endif()
  if(label STREQUAL "threads")
    set_property(GLOBAL APPEND PROPERTY LINEGW_THREAD_TESTS ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS ${label} TIMEOUT 120)
endfunction()
