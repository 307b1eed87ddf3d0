# Fully static aarch64 build against musl (Debian's musl-dev:arm64) with
# Debian's cross compiler (g++-aarch64-linux-gnu).
# Use: cmake --preset aarch64-musl-static, or -DCMAKE_TOOLCHAIN_FILE=this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(SYSCON_MUSL_TRIPLE aarch64-linux-musl)
set(SYSCON_KERNEL_HEADERS /usr/aarch64-linux-gnu/include)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
