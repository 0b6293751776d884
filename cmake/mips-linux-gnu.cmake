# Toolchain for the router: 32-bit big-endian MIPS, glibc from Debian's
# cross packages (g++-mips-linux-gnu). Target programs run on this machine
# under qemu-mips, so ctest and gtest_discover_tests work as they do natively.
#
#   cmake -S . -B build-mips -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(MIPS_TRIPLE mips-linux-gnu)
set(MIPS_SYSROOT /usr/${MIPS_TRIPLE})

set(CMAKE_C_COMPILER ${MIPS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MIPS_TRIPLE}-g++)
set(CMAKE_STRIP ${MIPS_TRIPLE}-strip CACHE FILEPATH "")

# Libraries and headers come from the cross sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${MIPS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Run target executables (tests, test discovery) through the user-mode emulator
# with the cross C library as its root for the dynamic loader.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips;-L;${MIPS_SYSROOT})

# The router has little flash: optimise for size in the target's Release build.
# Position-independent code is only needed in the shared library; executables
# use the non-PIC ABI (-mno-shared), which is markedly smaller on MIPS.
set(CMAKE_C_FLAGS_RELEASE_INIT "-Os -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-Os -DNDEBUG")
set(CMAKE_C_FLAGS_INIT "-fno-asynchronous-unwind-tables")
set(CMAKE_CXX_FLAGS_INIT "-fno-asynchronous-unwind-tables")
