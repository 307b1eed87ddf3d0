#include "options.h"

#include "device.h"
#include "flash.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace syscon_sim {

const char kUsage[] = R"(Usage: syscon_sim [OPTION]...
Simulates a SYSCON on a pseudo-terminal. Prints the slave's path on the first
line of standard output, then serves client after client until SIGINT or
SIGTERM (or, with --once, until the first client closes the port), writes the
--save files, prints a summary line on standard error and exits 0 (2 for a
bad option, 1 when start-up fails).

Line and timing:
  --link PATH           make PATH a symbolic link to the slave (an existing
                        link or file is replaced); removed at exit
  --once                stop when the first client closes the port
  --baud N              the device runs at N baud: a client set to another rate
                        is not understood (default: any rate)
  --pace                bytes cross the line at the client's rate, 11 bits each
                        (start, 8 data, 2 stop), in both directions
  --ack-after-frame     ACK once the whole frame has arrived (default: as soon
                        as STX and the three-letter code have arrived)
  --erase-ms N          ERS takes N ms per block of its range (with or without
                        --pace; default 0)
  --program-ms N        WDT takes N ms per block (default 0)

Device:
  --max-block N         largest block size SIZ accepts: 4096 (default) or 1024;
                        with 1024, SIZ 4096 is answered with 1024
  --version-text AREA=TEXT
                        version text of AREA (apli: ARV, ipl: IRV, font: FRV),
                        at most 12 bytes, padded with zero bytes; defaults
                        APLI-1.00.00, IPL-01.00.00, FONT-1.00.00
  --load AREA=FILE      fill AREA from FILE at start (a shorter file fills only
                        its length); AREA: apli, ipl, font, dev0, dev1
  --save AREA=FILE      write AREA to FILE at exit; repeatable like --load
  --fault FAULT         inject a fault (repeatable), FAULT = CMD:WHICH:KIND[=N]
                          CMD    IRV ARV FRV ISM ASM FSM DEV SIZ ERS WDT RDT
                          WHICH  n for the n-th request of CMD (from 1, faulted
                                 ones counted), or * for every one
                          KIND   nak        NAK instead of ACK, not carried out
                                 noack      no ACK, not carried out, no response
                                 noresponse ACK, carried out, no response
                                 status=N   ERS/WDT/RDT: not carried out, status
                                            N (default 1)
                                 echo=N     DEV/SIZ: not carried out, echo N
                                 corrupt=I  RDT: block byte I inverted (default
                                            0); the sum stays the true one
                                 badsum     RDT: sum field one too high;
                                            ISM/ASM/FSM: checksum one too high
                                 short=N    last N bytes of the response not
                                            sent (default 1)
                                 extra=N    N bytes EE after the response
                                 garbage=N  N bytes A5 before the response's STX
                                 delay=MS   response sent MS ms late
                                 hang       from this request on, no answer
                                            to anything
                                 stuck=I    WDT: block byte I keeps its old
                                            value (default 0)
                                 lateack=MS ACK sent MS ms late (the tool
                                            waits 100 ms); carried out
                        e.g. --fault ERS:1:status=5 --fault RDT:*:corrupt
  --trace FILE          trace every frame, fault, line-setting change and
                        client session to FILE ('-': standard error)
  -h, --help            show this help

Device behaviour:
  Line: the client must set 8 data bits, 2 stop bits, no parity, raw mode (no
  canonical input, echo, signals, output processing or CR/LF mapping), a rate
  other than 0, and the --baud rate if given; otherwise its bytes are not
  understood and get no answer.
  Frames are taken by the length their code implies (WDT: the block size last
  agreed with SIZ). Bytes outside a frame are skipped until an STX. A partial
  frame is dropped after 50 ms of silence or when the client closes the port.
  An unknown code gets NAK (0x15) at once and the device looks for the next STX.
  Flash: device 0 holds apli (0x000000, 0x1E8000 bytes) and ipl (0x1E8000,
  0x18000 bytes), device 1 holds font (0x100000, 0x60000 bytes); each device
  is 2 MiB and starts erased (0xFF). ERS sets exactly its range to 0xFF
  (length 0 accepted); WDT stores old AND new, and a WDT over bytes that were
  not 0xFF counts as an unerased program. ISM/ASM/FSM sum the whole area.
  DEV selects device 0 or 1; another id leaves the selection and echoes it.
  SIZ takes 1024 and 4096 (up to --max-block); another size leaves the block
  size alone and echoes the one in force. Device and block size persist
  across clients; at start device 0 and the largest block size.
  Status bytes: 0 done, 1 frame error (wrong separator, sum or ETX), 2 range
  outside the selected device. A bad DEV, SIZ, version or checksum frame gets
  its ACK but no response.

Trace lines: "<ms since start> ms  <tag> <text>", tags rx, tx, fault, flash,
line, session, summary. Summary (also on standard error):
  requests DEV=1 SIZ=1 ...; bytes in N out N; unerased programs N; ignored frames N
)";

namespace {

uint32_t parse_number(std::string_view text, std::string_view what) {
    const std::string s(text);
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (s.empty() || s[0] == '-' || *end != '\0' || errno != 0 || v > UINT32_MAX)
        throw UsageError("invalid number '" + s + "' for " + std::string(what));
    return static_cast<uint32_t>(v);
}

std::pair<std::string, std::string> split_assignment(std::string_view text, std::string_view what) {
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0)
        throw UsageError(std::string(what) + " wants AREA=VALUE, got '" + std::string(text) + "'");
    return {std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
}

struct KindName {
    std::string_view name;
    FaultKind kind;
    bool needs_param;
    bool takes_param;
};

constexpr KindName kKinds[] = {
    {"nak", FaultKind::Nak, false, false},
    {"noack", FaultKind::NoAck, false, false},
    {"noresponse", FaultKind::NoResponse, false, false},
    {"status", FaultKind::Status, false, true},
    {"echo", FaultKind::WrongEcho, true, true},
    {"corrupt", FaultKind::CorruptBlock, false, true},
    {"badsum", FaultKind::WrongSum, false, false},
    {"short", FaultKind::ShortResponse, false, true},
    {"extra", FaultKind::ExtraBytes, false, true},
    {"garbage", FaultKind::GarbageBeforeStx, false, true},
    {"delay", FaultKind::Delay, true, true},
    {"hang", FaultKind::Hang, false, false},
    {"stuck", FaultKind::StuckCell, false, true},
    {"lateack", FaultKind::LateAck, true, true},
};

} // namespace

Fault parse_fault(std::string_view text) {
    const std::string whole(text);
    const size_t c1 = text.find(':');
    const size_t c2 = c1 == std::string_view::npos ? c1 : text.find(':', c1 + 1);
    if (c2 == std::string_view::npos)
        throw UsageError("fault '" + whole + "': want CMD:WHICH:KIND[=N]");
    Fault f;
    f.cmd = std::string(text.substr(0, c1));
    std::ranges::transform(f.cmd, f.cmd.begin(), [](unsigned char ch) { return std::toupper(ch); });
    const std::string_view which = text.substr(c1 + 1, c2 - c1 - 1);
    if (which == "*") {
        f.occurrence = 0;
    } else {
        const uint32_t n = parse_number(which, "the request number of fault '" + whole + "'");
        if (n == 0 || n > INT32_MAX)
            throw UsageError("fault '" + whole + "': request numbers start at 1 ('*' for every)");
        f.occurrence = static_cast<int>(n);
    }
    std::string_view kind = text.substr(c2 + 1);
    std::string_view param;
    const bool has_param = kind.find('=') != std::string_view::npos;
    if (has_param) {
        param = kind.substr(kind.find('=') + 1);
        kind = kind.substr(0, kind.find('='));
    }
    const auto it = std::ranges::find(kKinds, kind, &KindName::name);
    if (it == std::end(kKinds))
        throw UsageError("fault '" + whole + "': unknown kind '" + std::string(kind) + "'");
    if (it->needs_param && !has_param)
        throw UsageError("fault '" + whole + "': " + std::string(kind) + " needs =N");
    if (has_param && !it->takes_param)
        throw UsageError("fault '" + whole + "': " + std::string(kind) + " takes no value");
    f.kind = it->kind;
    if (has_param)
        f.param = parse_number(param, "fault '" + whole + "'");
    if (const std::string why = fault_error(f); !why.empty())
        throw UsageError("fault '" + whole + "': " + why);
    return f;
}

ProgramOptions parse_command_line(const std::vector<std::string> &args) {
    ProgramOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool has_value = false;
        if (const size_t eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            has_value = true;
        }
        auto arg = [&]() -> const std::string & {
            if (!has_value) {
                if (i + 1 >= args.size())
                    throw UsageError("option " + name + " needs a value");
                value = args[++i];
                has_value = true;
            }
            return value;
        };
        auto flag = [&] {
            if (has_value)
                throw UsageError("option " + name + " takes no value");
            return true;
        };
        if (name == "-h" || name == "--help") {
            o.help = flag();
        } else if (name == "--link") {
            o.link = arg();
        } else if (name == "--once") {
            o.once = flag();
        } else if (name == "--baud") {
            o.config.expect_baud = parse_number(arg(), name);
        } else if (name == "--pace") {
            o.config.pace = flag();
        } else if (name == "--ack-after-frame") {
            o.config.ack_after_frame = flag();
        } else if (name == "--max-block") {
            o.config.max_block = parse_number(arg(), name);
            if (o.config.max_block != 4096 && o.config.max_block != 1024)
                throw UsageError("--max-block must be 4096 or 1024");
        } else if (name == "--erase-ms") {
            o.config.erase_ms_per_block = parse_number(arg(), name);
        } else if (name == "--program-ms") {
            o.config.program_ms_per_block = parse_number(arg(), name);
        } else if (name == "--version-text") {
            auto [area, text] = split_assignment(arg(), name);
            if (text.size() > 12)
                throw UsageError("version text '" + text + "' is longer than 12 bytes");
            if (area == "apli")
                o.config.apli_version = text;
            else if (area == "ipl")
                o.config.ipl_version = text;
            else if (area == "font")
                o.config.font_version = text;
            else
                throw UsageError("--version-text: unknown area '" + area + "' (apli, ipl, font)");
        } else if (name == "--load" || name == "--save") {
            auto assignment = split_assignment(arg(), name);
            if (!find_area(assignment.first))
                throw UsageError(name + ": unknown area '" + assignment.first +
                                 "' (apli, ipl, font, dev0, dev1)");
            (name == "--load" ? o.loads : o.saves).push_back(std::move(assignment));
        } else if (name == "--fault") {
            o.faults.push_back(parse_fault(arg()));
        } else if (name == "--trace") {
            o.config.trace_path = arg();
        } else {
            throw UsageError("unknown option '" + name + "'");
        }
    }
    return o;
}

} // namespace syscon_sim
