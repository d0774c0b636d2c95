# kelo_add_test(NAME SOURCES ... [LIBS ...] [LABELS ...])
# One test executable is one CTest entry; in the Windows tree CTest runs it under Wine
# through the cross-compiling emulator, in a fresh prefix of its own.
# Of the machine, a test under Wine reaches the build tree and the skin's images that the
# window tests compare the screen with.
set(kelo_test_host_dirs "${CMAKE_BINARY_DIR}:${PROJECT_SOURCE_DIR}/src/ui/skin/png")

function(kelo_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(WIN32)
    set_target_properties(${name} PROPERTIES WIN32_EXECUTABLE OFF)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Under Wine the program is ended a little before ctest's own bound: ctest kills the whole
  # run at once, and the prefix, its server and its X server would stay behind.
  math(EXPR run_seconds "${T_TIMEOUT} - 30")
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
    ENVIRONMENT "KELO_WINE_ROOT=${CMAKE_BINARY_DIR}/wine;KELO_RUN_SECONDS=${run_seconds};KELO_HOST_DIRS=${kelo_test_host_dirs}")
endfunction()
