/* Forced into every C++ file of the musl builds (cmake/musl-static.cmake).
 * libstdc++'s configuration headers were generated for glibc and test its
 * version with __GLIBC_PREREQ, which musl does not define: no glibc feature
 * is there. musl's <sys/ioctl.h> lacks the termios2 request that the custom
 * rate uses; its number is the kernel's, the same on every Linux
 * architecture these builds target. */
#define __GLIBC_PREREQ(maj, min) 0
#define TCSETS2 _IOW('T', 0x2B, struct termios2)
