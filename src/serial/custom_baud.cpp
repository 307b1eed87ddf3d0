#include "serial/custom_baud.h"

#include <algorithm>
#include <asm/termbits.h>
#include <sys/ioctl.h>

int apply_custom_rate(int fd, const LineSettings &s, uint32_t rate) {
    struct termios2 t2 {};
    t2.c_iflag = s.iflag;
    t2.c_oflag = s.oflag;
    t2.c_cflag = (s.cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD)) | BOTHER;
    t2.c_lflag = s.lflag;
    t2.c_line = s.line;
    std::copy_n(s.cc, std::min(s.ncc, sizeof t2.c_cc), t2.c_cc);
    t2.c_ospeed = rate;
    t2.c_ispeed = 0; // CIBAUD is 0: the input follows the output speed
    return ioctl(fd, TCSETS2, &t2);
}
