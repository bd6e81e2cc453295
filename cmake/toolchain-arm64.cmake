# Cross build for Debian 12 arm64 (and Raspberry Pi OS bookworm) on an amd64 machine, against
# the extracted sysroot scripts/lib/arm64.sh makes. Qt's moc, rcc and uic are the host's own;
# the tests run under qemu user emulation.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
# KF_SYSROOT in the environment names another sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# GNUInstallDirs gives Debian's multiarch library directory only to native builds; the package
# installs the OLA module in /usr/lib/aarch64-linux-gnu/kleurflits-stereo, and the program
# looks for it there.
set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})

if(DEFINED ENV{KF_SYSROOT})
  set(KF_SYSROOT $ENV{KF_SYSROOT})
else()
  get_filename_component(KF_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../.cache/sysroot-arm64 ABSOLUTE)
endif()
if(NOT EXISTS ${KF_SYSROOT}/usr/include/aarch64-linux-gnu)
  message(FATAL_ERROR "no arm64 sysroot in ${KF_SYSROOT}: scripts/test --arch arm64 or "
                      "scripts/package --arch arm64 makes it")
endif()

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT ${KF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${KF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's Qt 6 tools, which match the sysroot's Qt (both Debian 12's).
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)

set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KF_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    ${KF_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${KF_SYSROOT}/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})

# ctest runs the arm64 tests (and gtest's discovery) through qemu; its -L puts the sysroot's
# libraries and loader first.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${KF_SYSROOT})

# The Debian architecture the package is built for.
set(KF_DEB_ARCH arm64)
