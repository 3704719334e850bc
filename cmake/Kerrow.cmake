# Helpers shared by every module's CMakeLists.txt.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
set(_KD_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# Extra compile options of the test programs' own sources (not of the code
# they test), e.g. -O1 in the sanitizer trees, where optimising the test
# code itself takes much of the build.
set(KD_TEST_COMPILE_OPTIONS "-O1" CACHE STRING "Compile options added to the test programs' own sources")

# kd_setup_tests(): called once by the top-level CMakeLists.txt after
# GoogleTest is found. Makes
# - kd_test_pch: the precompiled GoogleTest header every test reuses
#   (a tiny test program, so that it is compiled with the very flags of the
#   test programs: a header precompiled with other flags is not used);
# - kd_threads_tests: builds every test labelled "threads" and what it needs,
#   and nothing else (the ThreadSanitizer tree builds only this).
function(kd_setup_tests)
  add_executable(kd_test_pch ${_KD_CMAKE_DIR}/test_pch.cpp)
  target_link_libraries(kd_test_pch PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_options(kd_test_pch PRIVATE ${KD_TEST_COMPILE_OPTIONS})
  target_precompile_headers(kd_test_pch PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:<gtest/gtest.h$<ANGLE-R>>")
  set_target_properties(kd_test_pch PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_custom_target(kd_threads_tests)
endfunction()

# Run at the end of the directory that registered test NAME (so that labels
# set after kd_add_test count): a test labelled "threads" joins
# kd_threads_tests.
function(_kd_note_threads_test name)
  get_test_property(${name} LABELS labels)
  if("threads" IN_LIST labels)
    add_dependencies(kd_threads_tests ${name})
  endif()
endfunction()

# kd_add_test(NAME SOURCES... LIBS... [LABELS l...] [ENV k=v...] [NO_PCH])
# A GoogleTest binary registered with CTest as one test, labelled by module.
# Its C++ sources start with the shared precompiled <gtest/gtest.h>; NO_PCH
# leaves it out (for a test that must define macros before any header).
function(kd_add_test name)
  if(NOT KD_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "NO_PCH" "" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_options(${name} PRIVATE ${KD_TEST_COMPILE_OPTIONS})
  if(NOT T_NO_PCH)
    target_precompile_headers(${name} REUSE_FROM kd_test_pch)
    # The header is C++: C sources go without it.
    foreach(src ${T_SOURCES})
      if(src MATCHES "\\.c$")
        set_source_files_properties(${src} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
      endif()
    endforeach()
  endif()
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
  cmake_language(EVAL CODE "cmake_language(DEFER CALL _kd_note_threads_test [[${name}]])")
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

# ---------------------------------------------------------------------------
# libFuzzer targets, built with clang++ beside the g++ tree (tests only).
# A library is compiled once into an instrumented archive; every driver is
# linked against the archives it needs. Each target runs as a ctest entry
# labelled "fuzz" and "slow"; the targets share one time budget
# (KD_FUZZ_SECONDS, split evenly) and run in parallel under ctest -j.
find_program(KD_CLANGXX clang++)
set(KD_FUZZ_SECONDS 160 CACHE STRING "Fuzzing time shared by all fuzz targets in one ctest run (seconds)")
set(KD_FUZZ_MIN_SECONDS 5 CACHE STRING "Least fuzzing time of one fuzz target (seconds)")
set(KD_FUZZ_CXXFLAGS -std=c++20 -O1 -g -fno-omit-frame-pointer -fno-sanitize-recover=undefined)

# Ends the calling function when fuzz targets are not built (no tests, or
# no clang++).
macro(_kd_return_unless_fuzz)
  if(NOT KD_BUILD_TESTS OR NOT KD_CLANGXX)
    return()
  endif()
endmacro()

# The fuzz libraries NAMES with every fuzz library they use, in link order.
function(_kd_fuzz_closure out)
  set(result)
  set(todo ${ARGN})
  while(todo)
    list(POP_FRONT todo l)
    get_property(file GLOBAL PROPERTY KD_FUZZLIB_${l}_FILE)
    if(NOT file)
      message(FATAL_ERROR "no fuzz library ${l} (kd_add_fuzz_library)")
    endif()
    list(REMOVE_ITEM result ${l})
    list(APPEND result ${l})
    get_property(more GLOBAL PROPERTY KD_FUZZLIB_${l}_LIBS)
    list(APPEND todo ${more})
  endwhile()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# The compiler's -I flags (INCLUDES and those of the fuzz libraries LIBS and
# what they use) in incs_out, the archives to link in archives_out.
function(_kd_fuzz_uses incs_out archives_out)
  cmake_parse_arguments(U "" "" "INCLUDES;LIBS" ${ARGN})
  set(incs ${U_INCLUDES})
  set(archives)
  _kd_fuzz_closure(used ${U_LIBS})
  foreach(l ${used})
    get_property(file GLOBAL PROPERTY KD_FUZZLIB_${l}_FILE)
    get_property(linc GLOBAL PROPERTY KD_FUZZLIB_${l}_INCLUDES)
    list(APPEND incs ${linc})
    list(APPEND archives ${file})
  endforeach()
  list(REMOVE_DUPLICATES incs)
  list(TRANSFORM incs PREPEND -I)
  set(${incs_out} ${incs} PARENT_SCOPE)
  set(${archives_out} ${archives} PARENT_SCOPE)
endfunction()

# kd_add_fuzz_library(NAME SOURCES... [LIBS fuzzlib...] [INCLUDES dir...]
#                     [DEFINES d...])
# Compiles SOURCES once with coverage and sanitizer instrumentation into
# the archive fuzz/libNAME.a for kd_add_fuzz_target(... LIBS NAME). LIBS
# are fuzz libraries it uses: their include directories apply, and a
# driver linking NAME links them too.
function(kd_add_fuzz_library name)
  _kd_return_unless_fuzz()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS;INCLUDES;DEFINES" ${ARGN})
  set(dir ${CMAKE_BINARY_DIR}/fuzz/${name})
  file(MAKE_DIRECTORY ${dir}) # Ninja makes output folders itself, Makefiles do not
  set(flags ${KD_FUZZ_CXXFLAGS} -fsanitize=fuzzer-no-link,address,undefined)
  _kd_fuzz_uses(incs archives INCLUDES ${F_INCLUDES} LIBS ${F_LIBS})
  list(TRANSFORM F_DEFINES PREPEND -D OUTPUT_VARIABLE defs)
  set(objs)
  foreach(src ${F_SOURCES})
    get_filename_component(src ${src} ABSOLUTE)
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${src})
    string(REPLACE "/" "_" obj ${rel})
    set(obj ${dir}/${obj}.o)
    add_custom_command(OUTPUT ${obj}
      COMMAND ${CMAKE_CXX_COMPILER_LAUNCHER} ${KD_CLANGXX} ${flags} ${incs} ${defs}
        -MD -MF ${obj}.d -c ${src} -o ${obj}
      DEPENDS ${src}
      DEPFILE ${obj}.d
      COMMENT "Fuzz object ${rel}"
      VERBATIM)
    list(APPEND objs ${obj})
  endforeach()
  set(lib ${CMAKE_BINARY_DIR}/fuzz/lib${name}.a)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${lib}
    COMMAND ${CMAKE_AR} qcs ${lib} ${objs}
    DEPENDS ${objs}
    COMMENT "Fuzz archive lib${name}.a"
    VERBATIM)
  add_custom_target(kd_fuzzlib_${name} DEPENDS ${lib})
  set_property(GLOBAL PROPERTY KD_FUZZLIB_${name}_FILE ${lib})
  set_property(GLOBAL PROPERTY KD_FUZZLIB_${name}_INCLUDES ${F_INCLUDES})
  set_property(GLOBAL PROPERTY KD_FUZZLIB_${name}_LIBS ${F_LIBS})
endfunction()

# kd_add_fuzz_target(NAME SOURCES... [LIBS fuzzlib...] [LINK lib...]
#                    [INCLUDES dir...] [ARGS libfuzzer-option...]
#                    [LABELS l...] [CORPUS dir])
# The driver tests/NAME, linked against the fuzz archives LIBS (their
# include directories come along; the archives resolve each other in any
# order) and the system libraries LINK. Its runs
# start from the committed CORPUS when given (read only; new inputs go to a
# scratch corpus in the build tree).
function(kd_add_fuzz_target name)
  _kd_return_unless_fuzz()
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS;LINK;INCLUDES;ARGS;LABELS" ${ARGN})
  set(out ${CMAKE_BINARY_DIR}/tests/${name})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  _kd_fuzz_uses(incs archives INCLUDES ${F_INCLUDES} LIBS ${F_LIBS})
  set(srcs)
  foreach(s ${F_SOURCES})
    get_filename_component(s ${s} ABSOLUTE)
    list(APPEND srcs ${s})
  endforeach()
  add_custom_command(OUTPUT ${out}
    COMMAND ${KD_CLANGXX} ${KD_FUZZ_CXXFLAGS} -fsanitize=fuzzer,address,undefined ${incs}
      -MD -MF ${CMAKE_BINARY_DIR}/fuzz/${name}.d ${srcs} -Wl,--start-group ${archives} -Wl,--end-group ${F_LINK}
      -o ${out}
    DEPENDS ${srcs} ${archives}
    DEPFILE ${CMAKE_BINARY_DIR}/fuzz/${name}.d
    COMMENT "libFuzzer target ${name}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${out})
  # The archives are made in other directories: Makefile generators see a
  # file there only through the target that makes it.
  _kd_fuzz_closure(used ${F_LIBS})
  list(TRANSFORM used PREPEND kd_fuzzlib_)
  if(used)
    add_dependencies(${name} ${used})
  endif()

  set(scratch ${CMAKE_BINARY_DIR}/fuzz/corpus/${name})
  file(MAKE_DIRECTORY ${scratch})
  set(corpora ${scratch})
  if(F_CORPUS)
    get_filename_component(F_CORPUS ${F_CORPUS} ABSOLUTE)
    list(APPEND corpora ${F_CORPUS})
  endif()
  add_test(NAME ${name} COMMAND ${out}
    "-max_total_time=$<TARGET_PROPERTY:kd_fuzz_budget,KD_FUZZ_EACH>"
    -rss_limit_mb=1024 -print_final_stats=0 -artifact_prefix=${CMAKE_BINARY_DIR}/fuzz/${name}-
    ${F_ARGS} ${corpora})
  math(EXPR timeout "${KD_FUZZ_SECONDS} + ${KD_FUZZ_MIN_SECONDS} + 120")
  # A high cost starts the fuzz runs first, so that they do not trail the run.
  set(labels fuzz slow ${F_LABELS})
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${timeout} COST 1000)
  set_property(GLOBAL APPEND PROPERTY KD_FUZZ_TARGETS ${name})
endfunction()

# kd_finish_fuzz(): called once at the end of the top-level CMakeLists.txt;
# splits KD_FUZZ_SECONDS among the fuzz targets.
function(kd_finish_fuzz)
  get_property(targets GLOBAL PROPERTY KD_FUZZ_TARGETS)
  list(LENGTH targets n)
  if(n EQUAL 0)
    return()
  endif()
  math(EXPR each "${KD_FUZZ_SECONDS} / ${n}")
  if(each LESS KD_FUZZ_MIN_SECONDS)
    set(each ${KD_FUZZ_MIN_SECONDS})
  endif()
  add_custom_target(kd_fuzz_budget)
  set_property(TARGET kd_fuzz_budget PROPERTY KD_FUZZ_EACH ${each})
  message(STATUS "Fuzzing: ${n} targets, ${each} s each")
endfunction()
