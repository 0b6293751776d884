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

# The router has little flash. The target's Release build optimises for size
# (a cache entry: CMake would otherwise append its own -O3 behind ours).
set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "Target release flags")
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "Target release flags")
# Executables are not position-independent: PIE code on MIPS reaches every
# function and global through the GOT and costs about a tenth of the daemons'
# size. -mplt lets non-PIC code call the C library through a PLT instead of
# GOT stubs. The shared library still gets -fPIC from CMake, which comes later
# on its command line and wins. No asynchronous unwind tables: the daemons
# are built without exceptions and nothing unwinds through them.
set(CMAKE_C_FLAGS_INIT "-fno-pie -mplt -fno-asynchronous-unwind-tables")
set(CMAKE_CXX_FLAGS_INIT "-fno-pie -mplt -fno-asynchronous-unwind-tables")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-no-pie")
