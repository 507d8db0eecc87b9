# Toolchain for 32-bit ARM Linux (ARMv7, hard-float ABI) with Debian's cross compiler
# (g++-arm-linux-gnueabihf).
#
# FIELDPACK_ARM_ROOT (cache variable or environment variable) names an armhf root file system that
# holds the target interpreter and its development headers. When it is set:
#   - find_* calls look for headers and libraries inside it;
#   - the target interpreter runs through qemu-arm with that root, so FindPython can ask the ARM
#     interpreter itself for its include directory and extension suffix (with CMake >= 4.1 and
#     policy CMP0190 set to NEW, e.g. -DCMAKE_POLICY_DEFAULT_CMP0190=NEW);
#   - the root's /usr/include is searched last, where Debian's multiarch pyconfig.h wrapper
#     expects <arm-linux-gnueabihf/python3.X/pyconfig.h>.
# The C library and the C++ standard library come from the cross compiler itself.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT FIELDPACK_ARM_ROOT AND DEFINED ENV{FIELDPACK_ARM_ROOT})
  set(FIELDPACK_ARM_ROOT "$ENV{FIELDPACK_ARM_ROOT}")
endif()
# try_compile projects read this file again: hand the root on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FIELDPACK_ARM_ROOT)

if(FIELDPACK_ARM_ROOT)
  set(FIELDPACK_ARM_ROOT "${FIELDPACK_ARM_ROOT}" CACHE PATH "armhf root file system")
  list(APPEND CMAKE_FIND_ROOT_PATH "${FIELDPACK_ARM_ROOT}")
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(FIELDPACK_QEMU_ARM qemu-arm REQUIRED)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${FIELDPACK_QEMU_ARM};-L;${FIELDPACK_ARM_ROOT}")
  endif()
  set(CMAKE_CXX_FLAGS_INIT "-idirafter ${FIELDPACK_ARM_ROOT}/usr/include")
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
