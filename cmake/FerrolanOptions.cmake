# Build options shared by the whole tree.
#
# FL_SANITIZE: "" (none), "address" (AddressSanitizer + UndefinedBehaviorSanitizer)
# or "thread" (ThreadSanitizer). Applied to every target, tests included, so
# that a sanitizer build checks the code exactly as it is shipped.
# A compiler cache where one is installed: CI rebuilds the tree three times
# (plain and two sanitizers) and keeps the cache between runs on one machine.
find_program(FL_CCACHE ccache)
if(FL_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_C_COMPILER_LAUNCHER ${FL_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${FL_CCACHE})
endif()

set(FL_SANITIZE "" CACHE STRING "Sanitizer build: '', 'address' or 'thread'")
set_property(CACHE FL_SANITIZE PROPERTY STRINGS "" address thread)

if(FL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(FL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT FL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "FL_SANITIZE must be '', 'address' or 'thread'")
endif()

# Our own code builds without warnings; third-party headers are included as
# SYSTEM so that their warnings stay theirs.
set(FL_WARNINGS -Wall -Wextra -Werror)

function(fl_warnings target)
  target_compile_options(${target} PRIVATE ${FL_WARNINGS})
endfunction()

# fl_test(<name> SOURCES ... LIBS ...): one GoogleTest executable, one CTest
# entry. Tests run from the build tree with a private registry hive and state
# folder, so that they never touch the user's own, and each boots its own
# machine even where a host serves one (FL_HOST=embedded).
function(fl_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  fl_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
                        GTest::gmock Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                        ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(state ${CMAKE_BINARY_DIR}/test-state/${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "XDG_STATE_HOME=${state};FL_TEST_TMP=${state};FL_HOST=embedded")
endfunction()
