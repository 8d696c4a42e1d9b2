# Test programs.
#
#   kv_add_gtest(NAME <name> SOURCES <src>... [LIBS <lib>...]
#                [WINE_ONLY] [NATIVE_ONLY] [WINE_DESKTOP] [RESOURCES <file.rc>...]
#                [TIMEOUT <seconds>] [LABELS <label>...])
#
# Builds one GoogleTest program (linked to gtest_main and gmock) and registers
# the whole program as one CTest test; in the x86_64 Windows build CTest runs
# it under Wine (one Wine process per program).  WINE_ONLY: Windows builds
# only; NATIVE_ONLY: the native build only.  In a Windows build that cannot
# run its programs (i686) the program is built and linked but not registered.
# Tests carry the label "native" or "wine" besides LABELS.  WINE_DESKTOP: under
# Wine the test never runs beside another WINE_DESKTOP test (shared clipboard
# and device broadcasts).
#
#   kv_add_fuzzer(NAME <name> SOURCES <src>... [LIBS <lib>...] [CORPUS <dir>] [DICT <file>] [NATIVE_ONLY])
#
# A libFuzzer target (LLVMFuzzerTestOneInput).  With KV_FUZZ=ON (clang) it is
# a real fuzzer and its test fuzzes for a short, bounded while starting from
# CORPUS, with the libFuzzer dictionary DICT; otherwise (every other build,
# the Windows ones under Wine included) it is linked to a small driver that
# replays every file of CORPUS, so the corpus is a regression test.  A
# NATIVE_ONLY target (one that needs POSIX) is left out of the Windows builds.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/KvResources.cmake)

set(KV_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

set(KV_TEST_TIMEOUT 300 CACHE STRING "Seconds one test program may run")
set(KV_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzzer runs as a test when KV_FUZZ is on")

# GoogleTest: Debian ships the sources; building them here gives every preset
# (sanitizers and both mingw targets included) a matching gtest and gmock.
if(KV_BUILD_TESTS AND NOT TARGET GTest::gtest_main)
  if(EXISTS /usr/src/googletest/CMakeLists.txt)
    set(INSTALL_GTEST OFF)
    set(BUILD_GMOCK ON)
    if(WIN32)
      # Win32 threads, not winpthread, inside gtest.
      set(gtest_disable_pthreads ON CACHE BOOL "Disable uses of pthreads in gtest" FORCE)
    endif()
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
    foreach(lib gtest gtest_main gmock gmock_main)
      if(NOT TARGET GTest::${lib})  # older googletest releases had no aliases
        add_library(GTest::${lib} ALIAS ${lib})
      endif()
    endforeach()
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

# True when this build can run its own test programs.
if(NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR)
  set(KV_CAN_RUN_TESTS TRUE)
else()
  set(KV_CAN_RUN_TESTS FALSE)
endif()

function(kv_add_gtest)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "WINE_ONLY;NATIVE_ONLY;WINE_DESKTOP" "NAME;TIMEOUT" "SOURCES;LIBS;RESOURCES;LABELS")
  if(ARG_UNPARSED_ARGUMENTS OR NOT ARG_NAME OR NOT ARG_SOURCES)
    message(FATAL_ERROR "kv_add_gtest(NAME name SOURCES ... [LIBS ...] [WINE_ONLY|NATIVE_ONLY] [RESOURCES ...]):"
                        " bad arguments ${ARGV}")
  endif()
  if(ARG_WINE_ONLY AND ARG_NATIVE_ONLY)
    message(FATAL_ERROR "kv_add_gtest(${ARG_NAME}): WINE_ONLY and NATIVE_ONLY exclude each other")
  endif()
  if(NOT KV_BUILD_TESTS OR (ARG_WINE_ONLY AND NOT WIN32) OR (ARG_NATIVE_ONLY AND WIN32))
    return()
  endif()

  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  foreach(rc IN LISTS ARG_RESOURCES)
    kv_add_resources(${ARG_NAME} ${rc})
  endforeach()
  if(NOT KV_CAN_RUN_TESTS)
    return()
  endif()

  add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT ${KV_TEST_TIMEOUT})
  endif()
  if(WIN32)
    list(APPEND ARG_LABELS wine)
  else()
    list(APPEND ARG_LABELS native)
  endif()
  set_tests_properties(${ARG_NAME} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
  # Under Wine the test processes share one desktop: its clipboard, and the
  # WM_DEVICECHANGE that Wine's plug and play sends to every top-level window
  # when a real driver install runs. Tests that count those messages or own
  # the clipboard, and the ones that install for real, take turns.
  if(WIN32 AND ARG_WINE_DESKTOP)
    set_tests_properties(${ARG_NAME} PROPERTIES RESOURCE_LOCK wine_desktop)
  endif()
endfunction()

function(kv_add_fuzzer)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "NATIVE_ONLY" "NAME;CORPUS;DICT" "SOURCES;LIBS")
  if(ARG_UNPARSED_ARGUMENTS OR NOT ARG_NAME OR NOT ARG_SOURCES)
    message(FATAL_ERROR "kv_add_fuzzer(NAME name SOURCES ... [LIBS ...] [CORPUS dir] [DICT file]): bad arguments ${ARGV}")
  endif()
  if((NOT KV_BUILD_TESTS AND NOT KV_FUZZ) OR (ARG_NATIVE_ONLY AND WIN32))
    return()
  endif()
  if(ARG_CORPUS)
    get_filename_component(ARG_CORPUS ${ARG_CORPUS} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  set(dict)
  if(ARG_DICT)
    get_filename_component(ARG_DICT ${ARG_DICT} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set(dict -dict=${ARG_DICT})
  endif()

  if(KV_FUZZ)
    add_executable(${ARG_NAME} ${ARG_SOURCES})
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS})
    target_link_options(${ARG_NAME} PRIVATE -fsanitize=fuzzer)
    # New inputs go to a folder of the build, never into the checked-in corpus.
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_corpus)
    file(MAKE_DIRECTORY ${work})
    add_test(NAME ${ARG_NAME}
             COMMAND ${ARG_NAME} -max_total_time=${KV_FUZZ_SECONDS} -timeout=10 ${dict} ${work} ${ARG_CORPUS})
    set_tests_properties(${ARG_NAME} PROPERTIES TIMEOUT ${KV_TEST_TIMEOUT} LABELS "fuzz;native")
    # One target builds every fuzzer, without the rest of the tree.
    if(NOT TARGET kv_fuzzers)
      add_custom_target(kv_fuzzers)
    endif()
    add_dependencies(kv_fuzzers ${ARG_NAME})
  else()
    add_executable(${ARG_NAME} ${ARG_SOURCES} ${KV_CMAKE_DIR}/KvFuzzReplay.cpp)
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS})
    if(NOT KV_CAN_RUN_TESTS)
      return()
    endif()
    add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME} ${ARG_CORPUS})
    if(WIN32)
      set(where wine)
    else()
      set(where native)
    endif()
    set_tests_properties(${ARG_NAME} PROPERTIES TIMEOUT ${KV_TEST_TIMEOUT} LABELS "fuzz-replay;${where}")
  endif()
endfunction()
