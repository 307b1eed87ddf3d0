# Fully static armhf build against musl (Debian's musl-dev:armhf) with
# Debian's cross compiler (g++-arm-linux-gnueabihf).
# Use: cmake --preset armhf-musl-static, or -DCMAKE_TOOLCHAIN_FILE=this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(SYSCON_MUSL_TRIPLE arm-linux-musleabihf)
set(SYSCON_KERNEL_HEADERS /usr/arm-linux-gnueabihf/include)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
