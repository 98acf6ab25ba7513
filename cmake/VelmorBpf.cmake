# Kernel socket events need clang's BPF target, bpftool (it links the object and makes its
# skeleton) and libbpf. The kernel's types come from the vmlinux.h kept in the tree for each
# architecture (guard/events/bpf/<arch>/), never from the build machine's kernel, so every build of
# one source tree makes the same program. VELMOR_BPF defaults to ON where all of them are there; a
# build that asks for it and cannot make it stops here instead of leaving the events out.
find_program(VELMOR_BPF_CLANG NAMES clang clang-14)
find_program(VELMOR_BPFTOOL NAMES bpftool PATHS /usr/sbin /sbin)
pkg_check_modules(LIBBPF QUIET IMPORTED_TARGET libbpf)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  set(VELMOR_BPF_ARCH x86)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
  set(VELMOR_BPF_ARCH arm64)
else()
  set(VELMOR_BPF_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(VELMOR_VMLINUX_DIR "${PROJECT_SOURCE_DIR}/guard/events/bpf/${VELMOR_BPF_ARCH}")

set(VELMOR_BPF_MISSING "")
if(NOT VELMOR_BPF_CLANG OR NOT EXISTS "${VELMOR_BPF_CLANG}")
  list(APPEND VELMOR_BPF_MISSING clang)
endif()
if(NOT VELMOR_BPFTOOL OR NOT EXISTS "${VELMOR_BPFTOOL}")
  list(APPEND VELMOR_BPF_MISSING bpftool)
endif()
if(NOT LIBBPF_FOUND)
  list(APPEND VELMOR_BPF_MISSING "libbpf (pkg-config)")
endif()
if(NOT EXISTS "${VELMOR_VMLINUX_DIR}/vmlinux.h")
  list(APPEND VELMOR_BPF_MISSING "guard/events/bpf/${VELMOR_BPF_ARCH}/vmlinux.h")
endif()
list(JOIN VELMOR_BPF_MISSING ", " VELMOR_BPF_MISSING_TEXT)

if(VELMOR_BPF_MISSING)
  set(VELMOR_BPF_DEFAULT OFF)
else()
  set(VELMOR_BPF_DEFAULT ON)
endif()
option(VELMOR_BPF "Build the kernel socket event source (clang, bpftool, libbpf)" ${VELMOR_BPF_DEFAULT})
if(VELMOR_BPF AND VELMOR_BPF_MISSING)
  message(FATAL_ERROR "VELMOR_BPF is on but this machine has no ${VELMOR_BPF_MISSING_TEXT}: "
                      "install them (scripts/install-deps.sh) or configure with -DVELMOR_BPF=OFF")
elseif(NOT VELMOR_BPF AND VELMOR_BPF_MISSING)
  message(WARNING "No ${VELMOR_BPF_MISSING_TEXT}: this build leaves the kernel socket events out, and "
                  "its guard refuses subscribers")
endif()
