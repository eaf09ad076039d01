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

# 64-bit file offsets, as 32-bit programs should have anyway: directory
# reads (readdir) then work on file systems that give 64-bit positions, which
# is what a 32-bit program sees under qemu-arm on a 64-bit build machine.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

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
