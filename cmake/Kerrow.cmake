# Helpers shared by every module's CMakeLists.txt.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

# kd_add_test(NAME SOURCES... LIBS... [LABELS l...] [ENV k=v...])
# A GoogleTest binary registered with CTest as one test, labelled by module.
function(kd_add_test name)
  if(NOT KD_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  # Tests never write to the real root: each gets its own KD_ROOT unless it sets one.
  # Programs a test's processes had refused or started outside KD_CMD_DIR
  # are logged in tripwire/, which scripts/tripwire checks after the tests.
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/tripwire)
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}"
    ENVIRONMENT "KD_NO_RT=1;KD_BUILD_DIR=${CMAKE_BINARY_DIR};KD_SOURCE_DIR=${CMAKE_SOURCE_DIR};KD_CMD_LOG=${CMAKE_BINARY_DIR}/tripwire/${name}.log;${T_ENV}")
endfunction()

# kd_add_plugin(NAME SOURCES...): libsv-NAME.so in the plug-in directory.
function(kd_add_plugin name)
  add_library(sv-${name} SHARED ${ARGN})
  set_target_properties(sv-${name} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${KD_PLUGIN_OUTPUT_DIRECTORY}
    PREFIX "lib" OUTPUT_NAME "sv-${name}")
  # Programs are started only through the command runner.
  target_link_libraries(sv-${name} PRIVATE solverasdk kdcmd)
endfunction()
