# zig's clang for a glibc-versioned Linux target, named by QUILLO_ZIG_TARGET
# (x86_64-linux-gnu.2.28, aarch64-linux-gnu.2.28): the wheels link against
# that glibc's symbol versions whatever this machine's glibc is.
set(QUILLO_ZIG_TARGET "$ENV{QUILLO_ZIG_TARGET}")
if(NOT QUILLO_ZIG_TARGET)
  message(FATAL_ERROR "QUILLO_ZIG_TARGET is not set; build wheels with tools/wheels/build.py")
endif()
string(REGEX MATCH "^[^-]+" QUILLO_TARGET_ARCH "${QUILLO_ZIG_TARGET}")
cmake_host_system_information(RESULT QUILLO_HOST_ARCH QUERY OS_PLATFORM)
if(NOT QUILLO_TARGET_ARCH STREQUAL QUILLO_HOST_ARCH)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${QUILLO_TARGET_ARCH}")
endif()
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/zig-ranlib" CACHE FILEPATH "")
# The kit uses no C++20 modules; CMake would otherwise look for clang-scan-deps.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
# Headers the target's libc lacks but the Python headers include (crypt.h for 3.8).
include_directories(SYSTEM "${CMAKE_CURRENT_LIST_DIR}/include")
