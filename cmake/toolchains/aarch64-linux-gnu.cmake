# Cross build for 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu); the tests
# run under qemu-user (qemu-user or qemu-user-static) against the cross C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)  # GoogleTest enables C
set(VELMORA_AARCH64_SYSROOT /usr/aarch64-linux-gnu CACHE PATH "The target's C library, for qemu")
find_program(VELMORA_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_QEMU_AARCH64} -L ${VELMORA_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${VELMORA_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
