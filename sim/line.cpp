#include "line.h"

#include "tty.h"

#include <termios.h>

namespace syscon_sim {

LineSettings read_line_settings(int master) {
    const LineState t = read_line_state(master);
    LineSettings s;
    switch (t.cflag & CSIZE) {
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
    s.stop_bits = (t.cflag & CSTOPB) ? 2 : 1;
    if (!(t.cflag & PARENB))
        s.parity = 'N';
    else if (t.cflag & CMSPAR)
        s.parity = (t.cflag & PARODD) ? 'M' : 'S';
    else
        s.parity = (t.cflag & PARODD) ? 'O' : 'E';
    s.raw = !(t.lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.oflag & OPOST) &&
            !(t.iflag & (ISTRIP | INLCR | IGNCR | ICRNL | IXON));
    s.rate = t.ospeed;
    s.custom_speed = t.custom_speed;
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
