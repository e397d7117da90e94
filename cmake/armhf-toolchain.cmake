# Cross-build for 32-bit ARM boards on Debian 12: armhf (hard-float ABI), ARMv6 + VFPv2, ARM
# mode, for Python 3.11. The shorthand for cmake/debian-toolchain.cmake with ARCH armhf and
# python3.11; point ZERBANO_ARMHF_ROOTFS (cache variable or environment) at a Debian 12 armhf
# root file system with python3.11 and libpython3.11-dev (tools/debian.sh bookworm armhf
# rootfs makes one):
#
#   cmake -S . -B build/armhf-cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
#         -DZERBANO_ARMHF_ROOTFS=/path/to/rootfs -DCMAKE_POLICY_DEFAULT_CMP0190=NEW
#
# The result, image.cpython-311-arm-linux-gnueabihf.so, runs on ARMv6 cores (ARM1176)
# and on every later 32-bit ARM core with VFP.

if(NOT ZERBANO_ARMHF_ROOTFS)
    set(ZERBANO_ARMHF_ROOTFS "$ENV{ZERBANO_ARMHF_ROOTFS}")
endif()
set(ZERBANO_DEBIAN_ROOTFS "${ZERBANO_ARMHF_ROOTFS}")
set(ZERBANO_DEBIAN_ARCH armhf)
set(ZERBANO_DEBIAN_PYTHON python3.11)
include("${CMAKE_CURRENT_LIST_DIR}/debian-toolchain.cmake")
