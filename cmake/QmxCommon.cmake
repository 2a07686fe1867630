# Warnings: an interface target every target of the project links (through
# link_libraries in the top-level file, so that no target is forgotten).
# QMX_WERROR makes them errors; CI sets it.
add_library(qmx_warnings INTERFACE)
target_compile_options(qmx_warnings INTERFACE -Wall -Wextra -Wno-unused-parameter
                       $<$<BOOL:${QMX_WERROR}>:-Werror>)
link_libraries($<BUILD_INTERFACE:qmx_warnings>)

# Sanitizers, for every target of the project.

if(QMX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(QMX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT QMX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QMX_SANITIZE must be '', 'address' or 'thread'")
endif()

# Coverage (gcc's --coverage, gcov data beside the objects), for every target
# of the project; scripts/coverage.sh reads it with lcov.
option(QMX_COVERAGE "Build with gcc coverage instrumentation (--coverage)" OFF)
if(QMX_COVERAGE)
  add_compile_options(--coverage -fno-inline)
  # gcc's coverage runtime stays inside each library: its __gcov_ names are
  # not part of any library's exports.
  add_link_options(--coverage -Wl,--exclude-libs,libgcov.a)
endif()

# qmx_add_gtest(name SOURCES ... LIBS ... [LABELS ...] [RESOURCE_LOCK ...])
# Each discovered test runs in its own process (gtest_discover_tests), so tests
# that touch process-wide state never depend on their order.
function(qmx_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set(props "")
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if(T_ENV)
    list(APPEND props ENVIRONMENT "${T_ENV}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS PROPERTIES ${props})
  # gtest_discover_tests flattens a list value given in PROPERTIES, so several
  # labels are set by a script that runs after the discovered tests are known.
  if(T_LABELS)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${script}
      "foreach(t IN LISTS ${name}_TESTS)\n  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${T_LABELS}\")\nendforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()

# Install layout, components and helpers for install rules.
include(${CMAKE_CURRENT_LIST_DIR}/QmxInstall.cmake)
