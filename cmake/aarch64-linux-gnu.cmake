# Cross build for 64-bit ARM with Debian's cross toolchain
# (crossbuild-essential-arm64) and the :arm64 multiarch -dev packages:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Multiarch keeps the arm64 libraries beside the host's, under the
# architecture's directory; pkg-config must look only there.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# User-mode emulation runs the test binaries (gtest_discover_tests, ctest).
# No -L: with the sysroot named, qemu 7.2 hangs in fork on this kernel;
# multiarch installs /lib/ld-linux-aarch64.so.1, which is all it needs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
