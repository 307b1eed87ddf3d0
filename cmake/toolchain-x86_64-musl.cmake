# Fully static x86-64 build against musl (Debian's musl-tools) with the host's g++.
# Use: cmake --preset musl-static, or -DCMAKE_TOOLCHAIN_FILE=this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER g++)

set(SYSCON_MUSL_TRIPLE x86_64-linux-musl)
set(SYSCON_KERNEL_HEADERS /usr/include/x86_64-linux-gnu /usr/include)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
