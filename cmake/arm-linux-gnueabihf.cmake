# Cross build for 32-bit ARM boards with glibc, with Debian's
# g++-arm-linux-gnueabihf. Programs built here run on this machine under
# qemu-user, which is how CTest runs the unit tests of such a build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The toolchain's own libraries, those of its loader, first (the guest's
# /lib is the prefix's): where armhf's glibc is installed too (multiarch,
# for the .deb), the loader would take that newer libc, and a program
# crashes at its first thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/lib)
