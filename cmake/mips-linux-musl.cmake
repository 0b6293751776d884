# Toolchain for the router with musl, the C library routers ship: 32-bit
# big-endian MIPS, built with Debian's mips-linux-gnu cross compiler (the one
# cmake/mips-linux-gnu.cmake uses) against a musl sysroot instead of glibc.
#
#   cmake -S . -B build-mips-musl -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-musl.cmake \
#     [-DMUSL_SYSROOT=/path/to/sysroot] -DBUILD_TESTING=OFF
#   cmake --build build-mips-musl --target hotplug route6mon obxmsg
#
# MUSL_SYSROOT is a folder with musl's headers in usr/include (or include)
# beside the kernel's linux/, asm/ and asm-generic/, and its start files
# (crt1.o, crti.o, crtn.o) and libc.so in usr/lib (or lib), as musl's own
# `make install DESTDIR=...` lays them out. It defaults to the board's build
# (scripts/board --musl-sysroot builds it and prints the folder).
#
# Only the daemons and the bus library build here: they use no C++ library at
# run time, whereas plexd, uevent-send and the unit tests (GoogleTest) need a
# libstdc++ built for the C library in use, and the cross compiler's is built
# for glibc. Linking one of them fails for want of libstdc++'s symbols.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(MIPS_TRIPLE mips-linux-gnu)
set(CMAKE_C_COMPILER ${MIPS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MIPS_TRIPLE}-g++)
set(CMAKE_STRIP ${MIPS_TRIPLE}-strip CACHE FILEPATH "")

# --- the sysroot ---------------------------------------------------------------
if(NOT MUSL_SYSROOT)
  # The board's build, in its cache: there is one folder musl-<key> at a time.
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(_musl_cache "$ENV{XDG_CACHE_HOME}/router-board")
  elseif(DEFINED ENV{HOME} AND NOT "$ENV{HOME}" STREQUAL "")
    set(_musl_cache "$ENV{HOME}/.cache/router-board")
  else()
    set(_musl_cache "/root/.cache/router-board")
  endif()
  file(GLOB _musl_done "${_musl_cache}/musl-*/.done")
  if(_musl_done)
    list(GET _musl_done 0 _musl_done)
    get_filename_component(_musl_default "${_musl_done}" DIRECTORY)
  endif()
endif()
set(MUSL_SYSROOT "${_musl_default}" CACHE PATH
  "musl sysroot: headers in usr/include, start files and libc.so in usr/lib")
# The compiler checks and every try_compile read this file again, in a
# project of their own: hand the sysroot on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MUSL_SYSROOT)

if(EXISTS "${MUSL_SYSROOT}/usr/lib/crt1.o")
  set(MUSL_INCLUDE "${MUSL_SYSROOT}/usr/include")
  set(MUSL_LIB "${MUSL_SYSROOT}/usr/lib")
else()
  set(MUSL_INCLUDE "${MUSL_SYSROOT}/include")
  set(MUSL_LIB "${MUSL_SYSROOT}/lib")
endif()
foreach(_f "${MUSL_LIB}/crt1.o" "${MUSL_LIB}/crti.o" "${MUSL_LIB}/crtn.o" "${MUSL_LIB}/libc.so"
           "${MUSL_INCLUDE}/stdio.h" "${MUSL_INCLUDE}/linux/netlink.h")
  if(NOT EXISTS "${_f}")
    message(FATAL_ERROR "MUSL_SYSROOT (${MUSL_SYSROOT}) lacks ${_f}: point it at a musl sysroot "
      "with the kernel's headers, or build the board's with scripts/board --musl-sysroot")
  endif()
endforeach()

# --- what the cross compiler brings of its own ------------------------------------
function(_mips_gcc_path out what)
  execute_process(COMMAND ${MIPS_TRIPLE}-gcc ${what} OUTPUT_VARIABLE _p
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0 OR NOT EXISTS "${_p}")
    message(FATAL_ERROR "${MIPS_TRIPLE}-gcc ${what} gave no file (${_p})")
  endif()
  set(${out} "${_p}" PARENT_SCOPE)
endfunction()
_mips_gcc_path(GCC_INCLUDE -print-file-name=include)
_mips_gcc_path(GCC_LIBGCC -print-libgcc-file-name)
_mips_gcc_path(GCC_CRTBEGIN -print-file-name=crtbegin.o)
_mips_gcc_path(GCC_CRTEND -print-file-name=crtend.o)
_mips_gcc_path(GCC_CRTBEGIN_S -print-file-name=crtbeginS.o)
_mips_gcc_path(GCC_CRTEND_S -print-file-name=crtendS.o)

# libstdc++'s header folders, as the compiler itself searches them. Only its
# headers are used (std::string_view, <span>, <algorithm>): their templates
# compile into the daemons, and no libstdc++ symbol may be linked.
execute_process(COMMAND ${MIPS_TRIPLE}-g++ -xc++ -E -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE _search)
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[^\n]*" _cxx_dirs "${_search}")
set(_cxx_isystem "")
foreach(_d ${_cxx_dirs})
  string(STRIP "${_d}" _d)
  get_filename_component(_d "${_d}" REALPATH)
  string(APPEND _cxx_isystem " -isystem ${_d}")
endforeach()
if(_cxx_isystem STREQUAL "")
  message(FATAL_ERROR "${MIPS_TRIPLE}-g++ names no libstdc++ header folder")
endif()

# --- flags ---------------------------------------------------------------------------
# None of glibc's cross sysroot: -nostdinc, then the compiler's own headers and
# musl's as system folders, libstdc++'s before them for C++ (its headers
# include_next the C library's). libstdc++'s configuration header (built for
# glibc) tests __GLIBC_PREREQ, which musl's <features.h> does not define: no
# glibc release is present.
set(_c_isystem "-nostdinc -isystem ${GCC_INCLUDE} -isystem ${MUSL_INCLUDE}")
# The code flags of cmake/mips-linux-gnu.cmake (see there): no PIE, calls
# through a PLT, no asynchronous unwind tables.
set(_code "-fno-pie -mplt -fno-asynchronous-unwind-tables")
set(CMAKE_C_FLAGS_INIT "${_c_isystem} ${_code}")
set(CMAKE_CXX_FLAGS_INIT "${_cxx_isystem} ${_c_isystem} '-D__GLIBC_PREREQ(maj,min)=0' ${_code}")
set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "Target release flags")
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "Target release flags")

# Links take nothing of the compiler's defaults (-nostdlib: glibc's start
# files and libraries): musl's start files around gcc's, musl's C library,
# libgcc, and -mmusl, which makes the driver name musl's dynamic loader
# (/lib/ld-musl-mips.so.1). musl's libc.so has no SONAME, so it is linked as
# -lc (NEEDED libc.so, not its path here); the sysroot's folder comes first
# on the command line, before the compiler's own, which hold glibc's.
set(_link "-mmusl -nostdlib -L${MUSL_LIB} -Wl,-rpath-link,${MUSL_LIB}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-no-pie ${_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link}")
set(_libs "-lc ${GCC_LIBGCC}")
foreach(lang C CXX)
  set(CMAKE_${lang}_LINK_EXECUTABLE
    "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> ${MUSL_LIB}/crt1.o ${MUSL_LIB}/crti.o ${GCC_CRTBEGIN} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${_libs} ${GCC_CRTEND} ${MUSL_LIB}/crtn.o")
  set(CMAKE_${lang}_CREATE_SHARED_LIBRARY
    "<CMAKE_${lang}_COMPILER> <CMAKE_SHARED_LIBRARY_${lang}_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_LIBRARY_CREATE_${lang}_FLAGS> <SONAME_FLAG><TARGET_SONAME> -o <TARGET> ${MUSL_LIB}/crti.o ${GCC_CRTBEGIN_S} <OBJECTS> <LINK_LIBRARIES> ${_libs} ${GCC_CRTEND_S} ${MUSL_LIB}/crtn.o")
endforeach()

# Libraries and headers come from the sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${MUSL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
