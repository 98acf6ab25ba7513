# The Windows build's test bench: GoogleTest compiled from Debian's sources (libgtest-dev) with the
# mingw compilers, and wine with a prefix and a Korean locale of the build tree's own.

set(VELMOR_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources, built for Windows")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory("${VELMOR_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
foreach(gtest_target gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${gtest_target})
    add_library(GTest::${gtest_target} ALIAS ${gtest_target})
  endif()
endforeach()

find_program(VELMOR_WINESERVER wineserver PATHS /usr/lib/wine REQUIRED)
find_program(VELMOR_WINEBOOT wineboot REQUIRED)
find_program(VELMOR_LOCALEDEF localedef REQUIRED)
set(VELMOR_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine/prefix")
# Wine takes the system code page from the Unix locale: ko_KR.UTF-8 gives code page 949, the one
# of Korean Windows. The locale is compiled into the build tree, so the machine needs none.
set(VELMOR_WINE_LOCALES "${CMAKE_BINARY_DIR}/wine/locale")
set(VELMOR_WINE_ENVIRONMENT
  "WINEPREFIX=${VELMOR_WINE_PREFIX}" "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml="
  "WINESERVER=${VELMOR_WINESERVER}" "LOCPATH=${VELMOR_WINE_LOCALES}" "LANG=ko_KR.UTF-8" "LC_ALL=ko_KR.UTF-8")

# Makes the prefix and starts its wineserver once, before any test program runs under wine.
add_test(NAME wine_prefix
         COMMAND "${PROJECT_SOURCE_DIR}/tests/support/windows/wine_prefix.sh" "${VELMOR_WINEBOOT}" "${VELMOR_WINE}"
                 "${VELMOR_LOCALEDEF}")
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP velmor_wine LABELS windows TIMEOUT 300
                                            ENVIRONMENT "${VELMOR_WINE_ENVIRONMENT}")

# Registers a run of the Windows program `target` under wine as the CTest test `name`.
#   ARGS      arguments of the program
#   LAUNCHER  a command line that runs the rest of its command line (wine and the program) itself
function(velmor_add_wine_test name target)
  cmake_parse_arguments(W "" "" "ARGS;LABELS;LAUNCHER" ${ARGN})
  if(NOT W_LABELS)
    set(W_LABELS unit)
  endif()
  add_test(NAME ${name} COMMAND ${W_LAUNCHER} "${VELMOR_WINE}" "$<TARGET_FILE:${target}>" ${W_ARGS})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED velmor_wine LABELS "${W_LABELS};windows" TIMEOUT 600
    ENVIRONMENT "${VELMOR_WINE_ENVIRONMENT};VELMOR_PROGRAM_DIR=${VELMOR_PROGRAM_DIR};VELMOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
