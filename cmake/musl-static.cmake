# Shared part of the musl toolchain files: a fully static build against
# Debian's musl with Debian's GNU compilers (native or cross). The C headers
# and libraries are musl's; the C++ headers are the compiler's libstdc++ ones,
# which are header-only for this tool (it uses no part of libstdc++'s run-time
# library); the kernel headers (asm/termbits.h for the custom rate) come from
# the compiler's glibc side, reached through links to asm/, asm-generic/ and
# linux/ only. musl-gcc's specs link musl's start files and libc.a.
#
# Set before including: SYSCON_MUSL_TRIPLE (x86_64-linux-musl, ...) and
# SYSCON_KERNEL_HEADERS, a list of the directories holding asm/, then
# asm-generic/ and linux/.
set(_musl_include /usr/include/${SYSCON_MUSL_TRIPLE})
set(_musl_lib /usr/lib/${SYSCON_MUSL_TRIPLE})
if(NOT EXISTS ${_musl_lib}/libc.a OR NOT EXISTS ${_musl_lib}/musl-gcc.specs)
    message(FATAL_ERROR "musl for ${SYSCON_MUSL_TRIPLE} is not installed (run scripts/install-deps)")
endif()

# The compiler's own C++ header directories, in its order.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -x c++ -v /dev/null
    OUTPUT_QUIET ERROR_VARIABLE _musl_probe RESULT_VARIABLE _musl_status)
if(NOT _musl_status EQUAL 0)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not run: ${_musl_probe}")
endif()
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[^\n]*" _musl_cxx_dirs "${_musl_probe}")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
    OUTPUT_VARIABLE _musl_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)

set(_musl_kernel ${CMAKE_BINARY_DIR}/musl-kernel-headers)
file(MAKE_DIRECTORY ${_musl_kernel})
foreach(_dir IN ITEMS asm asm-generic linux)
    foreach(_root IN LISTS SYSCON_KERNEL_HEADERS)
        if(IS_DIRECTORY ${_root}/${_dir} AND NOT EXISTS ${_musl_kernel}/${_dir})
            file(CREATE_LINK ${_root}/${_dir} ${_musl_kernel}/${_dir} SYMBOLIC)
        endif()
    endforeach()
endforeach()

set(_musl_flags -nostdinc)
foreach(_dir IN LISTS _musl_cxx_dirs)
    string(STRIP "${_dir}" _dir)
    file(REAL_PATH "${_dir}" _dir)
    list(APPEND _musl_flags -isystem ${_dir})
endforeach()
list(APPEND _musl_flags -isystem ${_musl_gcc_include} -isystem ${_musl_include}
    -idirafter ${_musl_kernel} -include ${CMAKE_CURRENT_LIST_DIR}/musl-glue.h)
# A static program is linked at a fixed address: position-independent code,
# the compiler's default, would only reach data through the GOT.
list(APPEND _musl_flags -fno-pie)
string(JOIN " " CMAKE_CXX_FLAGS_INIT ${_musl_flags})
# No RELRO segment: musl applies RELRO only in its dynamic linker, never in a
# static program, so the segment protects nothing here. Without it the linker
# need not start the writable segment on a fresh max-page-size (64 KiB on
# aarch64) boundary of the file: it follows the code at once, at an address
# still congruent to its file offset modulo 64 KiB, so the binary loads on
# kernels with 4, 16 and 64 KiB pages alike (it drops 46 KiB of padding).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -specs=${_musl_lib}/musl-gcc.specs -Wl,-z,norelro")

# Headers and libraries of the target only; build tools of the host.
set(CMAKE_FIND_ROOT_PATH ${_musl_lib})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
