# Cross toolchain for ARM Linux controllers (32-bit, hard float), Debian
# packages gcc-arm-linux-gnueabihf and g++-arm-linux-gnueabihf.
#
# Test programs run on the build machine through qemu-arm (package
# qemu-user), with the cross C library as its root.  GoogleTest for the
# target comes from Debian's multiarch package libgtest-dev:armhf
# (dpkg --add-architecture armhf), found under /usr/lib/arm-linux-gnueabihf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TARVIK_ARM_TRIPLET arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${TARVIK_ARM_TRIPLET})

find_program(CMAKE_C_COMPILER NAMES ${TARVIK_ARM_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TARVIK_ARM_TRIPLET}-g++ REQUIRED)

# The cross compiler's own root first, then the multiarch libraries of the
# build machine (GoogleTest).
set(CMAKE_FIND_ROOT_PATH /usr/${TARVIK_ARM_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TARVIK_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(TARVIK_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVIK_QEMU_ARM} -L /usr/${TARVIK_ARM_TRIPLET})
endif()
