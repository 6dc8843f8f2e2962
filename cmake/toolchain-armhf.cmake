# Cross build for the unit's 32-bit ARM board (Debian armhf) on a Debian
# machine with crossbuild-essential-armhf and the :armhf development packages
# (tools/install-deps.sh --armhf installs them):
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Test programs run under qemu-user; tools/test-armhf.sh runs the whole suite
# that way, with the guard armhf Qt programs need under emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Libraries and headers come from the multiarch directories of the same root;
# programs run during the build (moc, uic, rcc, pkg-config) are the host's.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "pkg-config for armhf")
set(Qt5_DIR /usr/lib/arm-linux-gnueabihf/cmake/Qt5 CACHE PATH "armhf Qt 5")
# Qt 6 finds its build tools (moc, rcc, uic and their CMake files) in the
# build machine's own Qt 6 development packages, installed beside the armhf
# ones.
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
                OUTPUT_VARIABLE _tessal_build_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(_tessal_build_multiarch)
  set(QT_HOST_PATH /usr CACHE PATH "the build machine's Qt 6")
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${_tessal_build_multiarch}/cmake CACHE PATH "its CMake files")
endif()

# ctest (and add_test commands naming a target) run the ARM programs here.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static)
