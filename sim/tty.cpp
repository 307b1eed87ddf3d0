// The kernel's termios2 interface lives here: its header cannot share a
// translation unit with the C library's <termios.h>.
#include "tty.h"

#include <algorithm>
#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <system_error>

namespace syscon_sim {

namespace {
std::system_error sys_error(const char *what) {
    return std::system_error(errno, std::generic_category(), what);
}
} // namespace

Pty open_pty(int flags) {
    Pty pty;
    pty.master.reset(posix_openpt(O_RDWR | O_NOCTTY | flags));
    if (!pty.master)
        throw sys_error("posix_openpt");
    if (grantpt(pty.master.get()) != 0 || unlockpt(pty.master.get()) != 0)
        throw sys_error("unlockpt");
    char name[128];
    if (ptsname_r(pty.master.get(), name, sizeof name) != 0)
        throw sys_error("ptsname_r");
    pty.slave_path = name;
    return pty;
}

LineState read_line_state(int fd) {
    struct termios2 t2 {};
    if (ioctl(fd, TCGETS2, &t2) != 0)
        throw sys_error("TCGETS2");
    LineState s{t2.c_iflag,  t2.c_oflag,         t2.c_cflag,
                t2.c_lflag,  t2.c_line,          {},
                t2.c_ospeed, t2.c_cflag & CBAUD, (t2.c_cflag & CBAUD) == BOTHER};
    std::copy_n(t2.c_cc, s.cc.size(), s.cc.begin());
    return s;
}

} // namespace syscon_sim
