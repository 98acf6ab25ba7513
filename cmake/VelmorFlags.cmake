# One INTERFACE target carries the language level, warnings and sanitizer flags; every target links it.
add_library(velmor_flags INTERFACE)
target_compile_features(velmor_flags INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(velmor_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused
  -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports false -Wrestrict overlaps inside std::string (GCC bug 105329).
  target_compile_options(velmor_flags INTERFACE -Wno-restrict)
endif()
# Hardening: these programs hold network-administration rights (or talk to the helper that does),
# so they get the stack protector, full RELRO with immediate binding, and position-independent
# executables. _FORTIFY_SOURCE needs optimisation and does not mix with the sanitizers.
target_compile_options(velmor_flags INTERFACE -fstack-protector-strong)
if(WIN32)
  # PE has no RELRO; its counterparts are address-space randomisation (64-bit too) and
  # non-executable data. mingw's stack protector and _FORTIFY_SOURCE live in libssp, which the
  # driver adds when the flag is given at link time too. The programs link everything statically
  # (the C++ and thread runtimes, libssp, zlib), so they run without DLLs beside them.
  target_link_options(velmor_flags INTERFACE -fstack-protector-strong
                      -Wl,--dynamicbase,--nxcompat,--high-entropy-va -static)
else()
  target_link_options(velmor_flags INTERFACE -Wl,-z,relro,-z,now)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
endif()
if(NOT VELMOR_SANITIZE AND NOT VELMOR_FUZZ)
  target_compile_options(velmor_flags INTERFACE
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
if(VELMOR_WERROR)
  target_compile_options(velmor_flags INTERFACE -Werror)
endif()
if(VELMOR_SANITIZE)
  target_compile_options(velmor_flags INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                -fno-sanitize-recover=undefined)
  target_link_options(velmor_flags INTERFACE -fsanitize=address,undefined)
endif()
target_compile_definitions(velmor_flags INTERFACE QT_NO_KEYWORDS)
# Texts reach Qt only through an explicit conversion (the Korean texts are UTF-8, so no silent
# Latin-1 or locale guess in either direction), and const and mutable iterators do not mix.
# Qt 6.4 spells the strict list iterators QT_STRICT_QLIST_ITERATORS (the default from Qt 6.6).
target_compile_definitions(velmor_flags INTERFACE QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII
                                                  QT_STRICT_ITERATORS QT_STRICT_QLIST_ITERATORS)
target_compile_options(velmor_flags INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)

# Places a program in the program folder (or a sub folder of it) of the build tree.
function(velmor_program_output target subdir)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${VELMOR_PROGRAM_DIR}/${subdir}")
endfunction()

# Registers a GoogleTest executable with CTest. Labels let the scripts pick suites: unit (the
# default: no root, no namespaces, no display, no network; scripts/check.sh runs these), root (makes
# namespaces or mounts, or acts as another user), gui (windows on the offscreen platform or Xvfb),
# integration (a built program against a loopback server of the test), e2e (real programs in
# network namespaces made by the test).
function(velmor_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE velmor_flags velmor_test_support GTest::gtest GTest::gmock GTest::gtest_main ${T_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(WIN32)
    # Under wine each process start costs a good part of a second, so a suite is one CTest test
    # (one run of the whole program), not one per case.
    velmor_add_wine_test(${name} ${name} LABELS ${T_LABELS})
    return()
  endif()
  # gtest_discover_tests flattens a list-valued ENVIRONMENT (only its first item would reach the
  # test), so the environment also goes in through a launcher that discovery and CTest both use.
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
    "${CMAKE_COMMAND};-E;env;VELMOR_PROGRAM_DIR=${VELMOR_PROGRAM_DIR};QT_QPA_PLATFORM=offscreen;VELMOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}"
               ENVIRONMENT "VELMOR_PROGRAM_DIR=${VELMOR_PROGRAM_DIR};QT_QPA_PLATFORM=offscreen;VELMOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# Fuzz builds instrument all project code for coverage, so the fuzzers can steer into the parsers.
if(VELMOR_FUZZ)
  target_compile_options(velmor_flags INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  target_link_options(velmor_flags INTERFACE -fsanitize=address,undefined)
endif()
