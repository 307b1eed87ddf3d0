// The kernel's termios2 interface lives here alone: its header cannot share a
// translation unit with the C library's <termios.h>.
#include "line.h"

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

uint32_t standard_rate(unsigned code) {
    struct Row {
        unsigned code;
        uint32_t rate;
    };
    static constexpr Row rows[] = {
        {B0, 0},
        {B50, 50},
        {B75, 75},
        {B110, 110},
        {B134, 134},
        {B150, 150},
        {B200, 200},
        {B300, 300},
        {B600, 600},
        {B1200, 1200},
        {B1800, 1800},
        {B2400, 2400},
        {B4800, 4800},
        {B9600, 9600},
        {B19200, 19200},
        {B38400, 38400},
        {B57600, 57600},
        {B115200, 115200},
        {B230400, 230400},
        {B460800, 460800},
        {B500000, 500000},
        {B576000, 576000},
        {B921600, 921600},
        {B1000000, 1000000},
        {B1152000, 1152000},
        {B1500000, 1500000},
        {B2000000, 2000000},
        {B2500000, 2500000},
        {B3000000, 3000000},
        {B3500000, 3500000},
        {B4000000, 4000000},
    };
    for (const Row &r : rows)
        if (r.code == code)
            return r.rate;
    return 0;
}

} // namespace

Pty open_pty() {
    Pty pty;
    pty.master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
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

LineSettings read_line_settings(int master) {
    struct termios2 t {};
    if (ioctl(master, TCGETS2, &t) != 0)
        throw sys_error("TCGETS2");
    LineSettings s;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        s.data_bits = 5;
        break;
    case CS6:
        s.data_bits = 6;
        break;
    case CS7:
        s.data_bits = 7;
        break;
    default:
        s.data_bits = 8;
        break;
    }
    s.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
    if (!(t.c_cflag & PARENB))
        s.parity = 'N';
    else if (t.c_cflag & CMSPAR)
        s.parity = (t.c_cflag & PARODD) ? 'M' : 'S';
    else
        s.parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    s.raw = !(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.c_oflag & OPOST) &&
            !(t.c_iflag & (ISTRIP | INLCR | IGNCR | ICRNL | IXON));
    const unsigned code = t.c_cflag & CBAUD;
    s.custom_speed = code == BOTHER;
    s.rate = s.custom_speed ? t.c_ospeed : standard_rate(code);
    return s;
}

std::string LineSettings::describe() const {
    std::string s = std::to_string(data_bits) + parity + std::to_string(stop_bits);
    s += raw ? " raw " : " not-raw ";
    s += std::to_string(rate);
    if (custom_speed)
        s += " (custom speed)";
    return s;
}

std::string line_problem(const LineSettings &line, uint32_t expect_baud) {
    std::string why;
    auto add = [&why](const std::string &s) { why += (why.empty() ? "" : ", ") + s; };
    if (line.data_bits != 8)
        add(std::to_string(line.data_bits) + " data bits");
    if (line.parity != 'N')
        add(std::string("parity ") + line.parity);
    if (line.stop_bits != 2)
        add(std::to_string(line.stop_bits) + " stop bit");
    if (!line.raw)
        add("not raw");
    if (line.rate == 0)
        add("rate 0 (line hung up)");
    else if (expect_baud != 0 && line.rate != expect_baud)
        add("rate " + std::to_string(line.rate) + ", device runs at " +
            std::to_string(expect_baud));
    return why;
}

} // namespace syscon_sim
