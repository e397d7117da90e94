# Build against the Python of a Debian root file system: amd64 with this machine's compiler,
# arm64 with Debian's aarch64-linux-gnu cross compiler, or armhf (hard-float ABI, ARMv6 +
# VFPv2, ARM mode) with Debian's arm-linux-gnueabihf cross compiler. tools/debian.sh makes the root file systems and drives this file through pip
# wheel and scikit-build-core; by hand:
#
#   cmake -S . -B build/trixie-amd64-cmake -DCMAKE_TOOLCHAIN_FILE=cmake/debian-toolchain.cmake \
#         -DZERBANO_DEBIAN_ROOTFS=/path/to/rootfs -DZERBANO_DEBIAN_ARCH=amd64 \
#         -DZERBANO_DEBIAN_PYTHON=python3.13 -DCMAKE_POLICY_DEFAULT_CMP0190=NEW
#
#   ZERBANO_DEBIAN_ROOTFS  the root file system, with the interpreter and its -dev headers
#   ZERBANO_DEBIAN_ARCH    amd64, arm64 or armhf
#   ZERBANO_DEBIAN_PYTHON  the interpreter to build for, as named in /usr/bin: python3.13, or
#                          python3.13d for the debug interpreter (headers in python3.13d)
#
# Each may also come from the environment. Needs CMake 4.1 or later (see FindPython below).

set(CMAKE_SYSTEM_NAME Linux)

foreach(_zerbano_setting ZERBANO_DEBIAN_ROOTFS ZERBANO_DEBIAN_ARCH ZERBANO_DEBIAN_PYTHON)
    if(NOT ${_zerbano_setting})
        set(${_zerbano_setting} "$ENV{${_zerbano_setting}}")
    endif()
    if(NOT ${_zerbano_setting})
        message(FATAL_ERROR "${_zerbano_setting} is not set (see cmake/debian-toolchain.cmake)")
    endif()
endforeach()
set(_zerbano_root "${ZERBANO_DEBIAN_ROOTFS}")
set(_zerbano_python "${ZERBANO_DEBIAN_PYTHON}")
if(NOT EXISTS "${_zerbano_root}/usr/bin/${_zerbano_python}"
   OR NOT EXISTS "${_zerbano_root}/usr/include/${_zerbano_python}/Python.h")
    message(FATAL_ERROR
        "ZERBANO_DEBIAN_ROOTFS='${_zerbano_root}' holds no ${_zerbano_python} with its headers "
        "(tools/debian.sh SUITE ARCH rootfs makes one)")
endif()
# try_compile projects read this file again: hand them the same settings
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
     ZERBANO_DEBIAN_ROOTFS ZERBANO_DEBIAN_ARCH ZERBANO_DEBIAN_PYTHON CMAKE_POLICY_DEFAULT_CMP0190)

if(ZERBANO_DEBIAN_ARCH STREQUAL "armhf")
    set(CMAKE_SYSTEM_PROCESSOR arm)
    set(_zerbano_triplet arm-linux-gnueabihf)
    set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
    set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
    # -marm: the toolchain defaults to Thumb, and Thumb-1 (all ARMv6 has) cannot use VFP.
    set(_zerbano_arch_flags "-march=armv6+fp -mfpu=vfp -mfloat-abi=hard -marm")
    # libgcc.a on this toolchain is ARMv7 code: take the __aeabi_* helpers from libgcc_s.so.1
    # on the board instead. Never -static-libgcc or -static-libstdc++ for this target.
    set(CMAKE_SHARED_LINKER_FLAGS_INIT "-shared-libgcc")
    set(CMAKE_MODULE_LINKER_FLAGS_INIT "-shared-libgcc")
    # The root CMakeLists.txt links the module without the toolchain's ARMv7 start files and
    # adds cmake/armv6_crt.c in their place.
    set(ZERBANO_ARMV6_STARTFILES ON)
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L "${_zerbano_root}")
elseif(ZERBANO_DEBIAN_ARCH STREQUAL "arm64")
    # 64-bit boards (Raspberry Pi 3 and later on a 64-bit OS): the compiler's default
    # armv8-a needs no measures of its own.
    set(CMAKE_SYSTEM_PROCESSOR aarch64)
    set(_zerbano_triplet aarch64-linux-gnu)
    set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
    set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
    set(_zerbano_arch_flags "")
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${_zerbano_root}")
elseif(ZERBANO_DEBIAN_ARCH STREQUAL "amd64")
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
    set(_zerbano_triplet x86_64-linux-gnu)
    set(_zerbano_arch_flags "")
    # The rootfs' interpreter runs on this machine through the rootfs' own dynamic loader and
    # libraries, so that a newer Debian's programs run on an older host.
    set(_zerbano_libs "${_zerbano_root}/lib/${_zerbano_triplet}:${_zerbano_root}/usr/lib/${_zerbano_triplet}")
    set(CMAKE_CROSSCOMPILING_EMULATOR
        "${_zerbano_root}/lib64/ld-linux-x86-64.so.2" --library-path "${_zerbano_libs}")
else()
    message(FATAL_ERROR "ZERBANO_DEBIAN_ARCH='${ZERBANO_DEBIAN_ARCH}': amd64, arm64 or armhf")
endif()

# -idirafter: Python.h includes the multiarch pyconfig.h wrapper, which includes
# <TRIPLET/python3.X/pyconfig.h>; searched after the compiler's own libc and libstdc++
# headers, so the rootfs supplies only what the compiler lacks.
set(_zerbano_flags "${_zerbano_arch_flags} -idirafter ${_zerbano_root}/usr/include")
# The *_INIT flags only seed a new build tree; a tree made with another rootfs keeps its own.
if(DEFINED CACHE{CMAKE_CXX_FLAGS})
    string(FIND "$CACHE{CMAKE_CXX_FLAGS}" "-idirafter ${_zerbano_root}/usr/include" _zerbano_at)
    if(_zerbano_at EQUAL -1)
        message(FATAL_ERROR "this build tree was configured for another rootfs: use a new one")
    endif()
endif()
set(CMAKE_C_FLAGS_INIT "${_zerbano_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_zerbano_flags}")

# Libraries and headers from the target only; programs from the host.
set(CMAKE_FIND_ROOT_PATH "${_zerbano_root}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindPython takes the version and the extension suffix (SOABI) from its interpreter: let it
# run the target's, through the emulator above. FindPython does that only under policy
# CMP0190 NEW (CMake 4.1+); with the old behaviour it mixes the host interpreter's answers
# with the target's headers and loses the suffix. The project's cmake_minimum_required()
# leaves CMP0190 unset, so the default must come from the command line:
# -DCMAKE_POLICY_DEFAULT_CMP0190=NEW.
if(CMAKE_VERSION VERSION_LESS 4.1)
    message(FATAL_ERROR "building against a Debian rootfs needs CMake 4.1 or later (FindPython, CMP0190)")
endif()
if(NOT CMAKE_POLICY_DEFAULT_CMP0190 STREQUAL "NEW")
    message(FATAL_ERROR "building against a Debian rootfs needs -DCMAKE_POLICY_DEFAULT_CMP0190=NEW")
endif()
# FORCE: these replace the host interpreter hints that a build frontend (scikit-build-core)
# puts into the cache. The headers are named explicitly: the interpreter reports their path
# on the target system (/usr/include/python3.X), not in the rootfs.
foreach(_zerbano_prefix Python Python3)
    set(${_zerbano_prefix}_EXECUTABLE "${_zerbano_root}/usr/bin/${_zerbano_python}" CACHE FILEPATH "target interpreter" FORCE)
    set(${_zerbano_prefix}_INCLUDE_DIR "${_zerbano_root}/usr/include/${_zerbano_python}" CACHE PATH "target Python headers" FORCE)
    set(${_zerbano_prefix}_ROOT_DIR "${_zerbano_root}/usr" CACHE PATH "target Python prefix" FORCE)
    # host NumPy headers would not match the target's (and the module needs none)
    unset(${_zerbano_prefix}_NumPy_INCLUDE_DIR CACHE)
endforeach()
