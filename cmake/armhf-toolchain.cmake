# Cross-build for 32-bit ARM boards: armhf (hard-float ABI), ARMv6 + VFPv2, ARM mode.
#
# Needs Debian's arm-linux-gnueabihf cross compiler, qemu-arm-static, and a Debian 12
# armhf root file system with python3.11 and libpython3.11-dev (tools/armhf.sh rootfs
# makes one). Point ZERBANO_ARMHF_ROOTFS (cache variable or environment) at it:
#
#   cmake -S . -B build/armhf-cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
#         -DZERBANO_ARMHF_ROOTFS=/path/to/rootfs -DCMAKE_POLICY_DEFAULT_CMP0190=NEW
#
# (tools/armhf.sh build does the same through pip wheel and scikit-build-core.)
#
# The result, image.cpython-311-arm-linux-gnueabihf.so, runs on ARMv6 cores (ARM1176)
# and on every later 32-bit ARM core with VFP.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

if(NOT ZERBANO_ARMHF_ROOTFS)
    set(ZERBANO_ARMHF_ROOTFS "$ENV{ZERBANO_ARMHF_ROOTFS}")
endif()
if(NOT EXISTS "${ZERBANO_ARMHF_ROOTFS}/usr/include/python3.11/Python.h")
    message(FATAL_ERROR
        "ZERBANO_ARMHF_ROOTFS='${ZERBANO_ARMHF_ROOTFS}' is not an armhf root file system "
        "with libpython3.11-dev (tools/armhf.sh rootfs makes one)")
endif()
# try_compile projects read this file again: hand them the same root file system
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZERBANO_ARMHF_ROOTFS CMAKE_POLICY_DEFAULT_CMP0190)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# -marm: the toolchain defaults to Thumb, and Thumb-1 (all ARMv6 has) cannot use VFP.
# -idirafter: Python.h includes the multiarch pyconfig.h wrapper, which includes
# <arm-linux-gnueabihf/python3.11/pyconfig.h>; searched after the cross compiler's own
# libc and libstdc++ headers, so the rootfs supplies only what the toolchain lacks.
set(_zerbano_flags "-march=armv6+fp -mfpu=vfp -mfloat-abi=hard -marm -idirafter ${ZERBANO_ARMHF_ROOTFS}/usr/include")
# The *_INIT flags only seed a new build tree; a tree made with another rootfs keeps its own.
if(DEFINED CACHE{CMAKE_CXX_FLAGS})
    string(FIND "$CACHE{CMAKE_CXX_FLAGS}" "-idirafter ${ZERBANO_ARMHF_ROOTFS}/usr/include" _zerbano_at)
    if(_zerbano_at EQUAL -1)
        message(FATAL_ERROR "this build tree was configured for another armhf rootfs: use a new one")
    endif()
endif()
set(CMAKE_C_FLAGS_INIT "${_zerbano_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_zerbano_flags}")
# libgcc.a on this toolchain is ARMv7 code: take the __aeabi_* helpers from libgcc_s.so.1
# on the board instead. Never -static-libgcc or -static-libstdc++ for this target.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-shared-libgcc")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-shared-libgcc")
# The root CMakeLists.txt links the module without the toolchain's ARMv7 start files and
# adds cmake/armv6_crt.c in their place.
set(ZERBANO_ARMV6_STARTFILES ON)

# Libraries and headers from the target only; programs from the host.
set(CMAKE_FIND_ROOT_PATH "${ZERBANO_ARMHF_ROOTFS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindPython takes the version and the extension suffix (SOABI) from its interpreter: let it
# run the target's, the rootfs' python3.11 under qemu. FindPython does that only under
# policy CMP0190 NEW (CMake 4.1+); with the old behaviour it mixes the host interpreter's
# answers with the target's headers and loses the suffix. The project's
# cmake_minimum_required() leaves CMP0190 unset, so the default must come from the command
# line: -DCMAKE_POLICY_DEFAULT_CMP0190=NEW.
if(CMAKE_VERSION VERSION_LESS 4.1)
    message(FATAL_ERROR "cross-building for armhf needs CMake 4.1 or later (FindPython, CMP0190)")
endif()
if(NOT CMAKE_POLICY_DEFAULT_CMP0190 STREQUAL "NEW")
    message(FATAL_ERROR "cross-building for armhf needs -DCMAKE_POLICY_DEFAULT_CMP0190=NEW")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L "${ZERBANO_ARMHF_ROOTFS}")
# FORCE: these replace the host interpreter hints that a build frontend (scikit-build-core)
# puts into the cache. The headers are named explicitly: the interpreter reports their
# path on the board (/usr/include/python3.11), not in the rootfs.
foreach(_zerbano_prefix Python Python3)
    set(${_zerbano_prefix}_EXECUTABLE "${ZERBANO_ARMHF_ROOTFS}/usr/bin/python3.11" CACHE FILEPATH "armhf python3.11" FORCE)
    set(${_zerbano_prefix}_INCLUDE_DIR "${ZERBANO_ARMHF_ROOTFS}/usr/include/python3.11" CACHE PATH "armhf Python headers" FORCE)
    set(${_zerbano_prefix}_ROOT_DIR "${ZERBANO_ARMHF_ROOTFS}/usr" CACHE PATH "armhf Python prefix" FORCE)
    # host NumPy headers would not match the target's (and the module needs none)
    unset(${_zerbano_prefix}_NumPy_INCLUDE_DIR CACHE)
endforeach()
