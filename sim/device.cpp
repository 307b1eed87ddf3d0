#include "device.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace syscon_sim {

enum class Op { Version, Sum, Dev, Siz, Ers, Wdt, Rdt };

struct Device::Command {
    std::string_view code;
    Op op;
    const Area *area; // the area of a version or checksum command
    size_t length;    // of the request frame; WDT's carries one block more
};

namespace {

using Command = Device::Command;

// Each ROM area's version query, then each one's checksum query, then the
// commands that work on the selected device.
constexpr auto kCommands = [] {
    constexpr Command kDeviceCommands[] = {
        {"DEV", Op::Dev, nullptr, 7},  {"SIZ", Op::Siz, nullptr, 10}, {"ERS", Op::Ers, nullptr, 18},
        {"WDT", Op::Wdt, nullptr, 14}, {"RDT", Op::Rdt, nullptr, 13},
    };
    std::array<Command, 2 * std::size(kRomAreas) + std::size(kDeviceCommands)> list{};
    size_t n = 0;
    for (const Area &a : kRomAreas)
        list[n++] = {a.version_cmd, Op::Version, &a, 5};
    for (const Area &a : kRomAreas)
        list[n++] = {a.sum_cmd, Op::Sum, &a, 5};
    for (const Command &c : kDeviceCommands)
        list[n++] = c;
    return list;
}();

const Command *find_command(std::string_view code) {
    for (const Command &c : kCommands)
        if (c.code == code)
            return &c;
    return nullptr;
}

bool has_status(Op op) {
    return op == Op::Ers || op == Op::Wdt || op == Op::Rdt;
}

uint32_t be32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

uint16_t be16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

void put32(std::vector<uint8_t> &v, uint32_t x) {
    for (int shift = 24; shift >= 0; shift -= 8)
        v.push_back(static_cast<uint8_t>(x >> shift));
}

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

std::string fmt(const char *format, auto... args) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

// Where the separators of a request frame sit. Its ETX is the last byte, and
// the frames with a status byte (ERS, WDT, RDT) carry a sum in the two before.
std::vector<size_t> separators(Op op, size_t length) {
    switch (op) {
    case Op::Version:
    case Op::Sum:
        return {};
    case Op::Dev:
    case Op::Siz:
        return {4};
    case Op::Ers:
    case Op::Wdt:
        return {4, 9, length - 4};
    case Op::Rdt:
        return {4, 9};
    }
    return {};
}

// The sum a request frame should carry: address bytes plus length or data bytes.
uint16_t request_sum(Op op, std::span<const uint8_t> f) {
    uint32_t sum = sum16(f.subspan(5, 4));
    if (op == Op::Ers)
        sum += sum16(f.subspan(10, 4));
    else if (op == Op::Wdt)
        sum += sum16(f.subspan(10, f.size() - 14));
    return static_cast<uint16_t>(sum);
}

// Empty when the frame is well formed, else what is wrong with it.
std::string frame_error(Op op, std::span<const uint8_t> f) {
    for (size_t at : separators(op, f.size()))
        if (f[at] != SEP)
            return fmt("separator at offset %zu is 0x%02X", at, f[at]);
    if (f.back() != ETX)
        return fmt("ETX at offset %zu is 0x%02X", f.size() - 1, f.back());
    if (has_status(op)) {
        const uint16_t got = be16(f, f.size() - 3), want = request_sum(op, f);
        if (got != want)
            return fmt("sum 0x%04X, frame sums to 0x%04X", got, want);
    }
    return {};
}

std::string describe_request(const Command &c, std::span<const uint8_t> f) {
    std::string s(c.code);
    switch (c.op) {
    case Op::Version:
    case Op::Sum:
        break;
    case Op::Dev:
        s += fmt(" id=%u", f[5]);
        break;
    case Op::Siz:
        s += fmt(" size=%u", be32(f, 5));
        break;
    case Op::Ers:
        s += fmt(" addr=0x%06X len=0x%06X sum=0x%04X", be32(f, 5), be32(f, 10), be16(f, 15));
        break;
    case Op::Wdt:
        s += fmt(" addr=0x%06X data=%zu sum=0x%04X", be32(f, 5), f.size() - 14,
                 be16(f, f.size() - 3));
        break;
    case Op::Rdt:
        s += fmt(" addr=0x%06X sum=0x%04X", be32(f, 5), be16(f, 10));
        break;
    }
    return s;
}

std::string describe_payload(const Command &c, std::span<const uint8_t> p) {
    std::string s(c.code);
    if (p.empty())
        return s;
    switch (c.op) {
    case Op::Version: {
        s += " text=\"";
        for (uint8_t b : p)
            s += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
        return s + "\"";
    }
    case Op::Sum:
        return p.size() >= 2 ? s + fmt(" sum=0x%04X", be16(p, 0)) : s;
    case Op::Dev:
        return s + fmt(" id=%u", p[0]);
    case Op::Siz:
        return p.size() >= 4 ? s + fmt(" size=%u", be32(p, 0)) : s;
    case Op::Ers:
    case Op::Wdt:
        return s + fmt(" status=0x%02X", p[0]);
    case Op::Rdt:
        s += fmt(" status=0x%02X", p[0]);
        if (p.size() >= 5)
            s += fmt(" block=%zu sum=0x%04X", p.size() - 5, be16(p, p.size() - 2));
        return s;
    }
    return s;
}

std::vector<uint8_t> response_frame(std::string_view code, std::span<const uint8_t> payload) {
    std::vector<uint8_t> r;
    r.reserve(10 + payload.size());
    for (uint8_t b : {STX, uint8_t{'$'}, uint8_t{'W'}, uint8_t{'P'}, SEP})
        r.push_back(b);
    for (char c : code)
        r.push_back(static_cast<uint8_t>(c));
    r.push_back(SEP);
    r.insert(r.end(), payload.begin(), payload.end());
    r.push_back(ETX);
    return r;
}

uint32_t at_least_one(uint32_t param) {
    return param ? param : 1;
}

} // namespace

std::string fault_error(const Fault &f) {
    const Command *c = find_command(f.cmd);
    if (!c)
        return "unknown command '" + f.cmd + "'";
    if (f.occurrence < 0)
        return "occurrence must be 1 or more, or 0 for every request";
    const Op op = c->op;
    switch (f.kind) {
    case FaultKind::Status:
        return has_status(op) ? "" : f.cmd + " has no status byte (ERS, WDT and RDT have)";
    case FaultKind::WrongEcho:
        return op == Op::Dev || op == Op::Siz ? "" : "only DEV and SIZ echo a value";
    case FaultKind::CorruptBlock:
        return op == Op::Rdt ? "" : "only RDT returns a block";
    case FaultKind::WrongSum: {
        if (op == Op::Rdt || op == Op::Sum)
            return {};
        std::string sums;
        for (const Area &a : kRomAreas) {
            if (!sums.empty())
                sums += ", ";
            sums += a.sum_cmd;
        }
        return "only RDT and the checksums " + sums + " send a sum";
    }
    case FaultKind::StuckCell:
        return op == Op::Wdt ? "" : "only WDT programs a block";
    default:
        return {};
    }
}

std::string summary(const Stats &s) {
    std::string line = "requests";
    for (const Command &c : kCommands)
        if (const auto it = s.requests.find(std::string(c.code));
            it != s.requests.end() && it->second)
            line += fmt(" %s=%d", it->first.c_str(), it->second);
    if (line == "requests")
        line += " none";
    return line + fmt("; bytes in %llu out %llu; unerased programs %d; ignored frames %d",
                      static_cast<unsigned long long>(s.bytes_in),
                      static_cast<unsigned long long>(s.bytes_out), s.unerased_programs,
                      s.ignored_frames);
}

Device::Device(const Config &config, Shared &shared, Port &port, Trace &trace)
    : config_(config), shared_(shared), port_(port), trace_(trace) {}

void Device::note(std::string_view tag, const std::string &text) {
    trace_.write(port_.now(), tag, text);
}

void Device::record(const std::vector<uint8_t> &frame) {
    std::lock_guard lock(shared_.mutex);
    if (config_.keep_frames)
        shared_.stats.frames.push_back(frame);
    if (!understood_)
        ++shared_.stats.ignored_frames;
}

void Device::flush_junk() {
    if (junk_.empty())
        return;
    note("rx", fmt("%zu byte(s) outside any frame, dropped: ", junk_.size()) + hex_bytes(junk_));
    junk_.clear();
}

void Device::drop_frame(std::string_view why) {
    flush_junk();
    if (frame_.empty())
        return;
    note("rx", fmt("partial frame of %zu byte(s) dropped (", frame_.size()) + std::string(why) +
                   "): " + hex_bytes(frame_));
    record(frame_);
    frame_.clear();
    cmd_ = nullptr;
}

void Device::receive(uint8_t byte, bool understood) {
    if (frame_.empty()) {
        if (byte != STX) {
            junk_.push_back(byte);
            return;
        }
        flush_junk();
        understood_ = understood;
        frame_.push_back(byte);
        return;
    }
    understood_ = understood_ && understood;
    frame_.push_back(byte);
    if (frame_.size() == 4)
        on_code();
    else if (cmd_ && frame_.size() == length_)
        on_frame();
}

bool Device::has_fault(FaultKind kind) const {
    return fault(kind) != nullptr;
}

const Fault *Device::fault(FaultKind kind) const {
    for (const Fault &f : faults_)
        if (f.kind == kind)
            return &f;
    return nullptr;
}

void Device::on_code() {
    if (!understood_ && other_rate_) {
        port_.send(std::vector<uint8_t>{NOISE});
        note("tx", "noise at the client's rate: F0");
    }
    const std::string code(frame_.begin() + 1, frame_.end());
    cmd_ = find_command(code);
    if (!cmd_) {
        record(frame_);
        if (understood_) {
            note("rx", "unknown code: " + hex_bytes(frame_));
            port_.send(std::vector<uint8_t>{NAK});
            note("tx", "NAK: 15");
        } else {
            note("rx", "not understood (line settings): " + hex_bytes(frame_));
        }
        frame_.clear();
        return;
    }
    faults_.clear();
    {
        std::lock_guard lock(shared_.mutex);
        length_ = cmd_->length + (cmd_->op == Op::Wdt ? shared_.stats.block_size : 0);
        if (understood_) {
            occurrence_ = ++shared_.stats.requests[code];
            for (const Fault &f : shared_.faults)
                if (f.cmd == code && (f.occurrence == 0 || f.occurrence == occurrence_))
                    faults_.push_back(f);
            shared_.hung = shared_.hung || has_fault(FaultKind::Hang);
            hung_ = shared_.hung;
        }
    }
    if (!understood_)
        return;
    if (held_ && held_->frame.empty()) // it never came whole: nothing to answer
        held_.reset();
    if (held_ && !hung_ && --held_->left > 0) {
        answer_ = Answer::Silent;
        note("fault", fmt("%s #%d: not answered, busy with %s #%d", code.c_str(), occurrence_,
                          std::string(held_->cmd->code).c_str(), held_->occurrence));
        return;
    }
    if (held_ && !hung_)
        release_held();
    answer_ = has_fault(FaultKind::Nak)              ? Answer::Nak
              : has_fault(FaultKind::NoAck) || hung_ ? Answer::Silent
                                                     : Answer::Ack;
    if (!config_.ack_after_frame)
        acknowledge(*cmd_);
}

void Device::acknowledge(const Command &cmd) {
    const std::string which = fmt("%s #%d", std::string(cmd.code).c_str(), occurrence_);
    port_.turn(config_.turnaround_ms);
    switch (answer_) {
    case Answer::Ack:
        if (const Fault *f = fault(FaultKind::LateAck)) {
            note("fault", which + fmt(": ACK delayed by %u ms", f->param));
            port_.busy(f->param);
        }
        if (const Fault *f = fault(FaultKind::HeldAck)) {
            held_ = Held{&cmd, {}, faults_, occurrence_, at_least_one(f->param)};
            note("fault",
                 which + fmt(": ACK and answer held until %u more request(s) come", held_->left));
            break;
        }
        port_.send(std::vector<uint8_t>{ACK});
        note("tx", "ACK " + which + ": 06");
        break;
    case Answer::Nak:
        note("fault", which + ": NAK instead of ACK, not carried out");
        port_.send(std::vector<uint8_t>{NAK});
        note("tx", "NAK " + which + ": 15");
        break;
    case Answer::Silent:
        note("fault",
             which + (hung_ ? ": hung, no answer" : ": no ACK, not carried out, no response"));
        break;
    }
}

void Device::on_frame() {
    const std::vector<uint8_t> frame = std::move(frame_);
    frame_.clear();
    const Command &cmd = *cmd_;
    cmd_ = nullptr;
    record(frame);
    if (!understood_) {
        note("rx", "not understood (line settings): " + describe_request(cmd, frame) + ": " +
                       hex_bytes(frame));
        return;
    }
    note("rx", describe_request(cmd, frame) + ": " + hex_bytes(frame));
    if (config_.ack_after_frame)
        acknowledge(cmd);
    if (answer_ != Answer::Ack)
        return;
    if (held_ && held_->frame.empty()) {
        held_->frame = frame;
        return;
    }
    respond(cmd, frame);
}

// The ACK and the answer of the held request, in its own fault and request number, before the
// device turns to the request whose code released them.
void Device::release_held() {
    Held h = std::move(*held_);
    held_.reset();
    std::swap(faults_, h.faults);
    std::swap(occurrence_, h.occurrence);
    port_.send(std::vector<uint8_t>{ACK});
    note("tx", fmt("held ACK %s #%d: 06", std::string(h.cmd->code).c_str(), occurrence_));
    respond(*h.cmd, h.frame);
    std::swap(faults_, h.faults);
    std::swap(occurrence_, h.occurrence);
}

void Device::respond(const Command &cmd, std::span<const uint8_t> frame) {
    uint32_t busy_ms = 0;
    std::optional<std::vector<uint8_t>> payload = execute(cmd, frame, busy_ms);
    if (busy_ms)
        port_.busy(busy_ms);
    if (!payload)
        return;

    const std::string which = fmt("%s #%d", std::string(cmd.code).c_str(), occurrence_);
    const std::string described = describe_payload(cmd, *payload);
    std::vector<uint8_t> response = response_frame(cmd.code, *payload);
    if (const Fault *f = fault(FaultKind::ShortResponse)) {
        const size_t n = std::min<size_t>(at_least_one(f->param), response.size());
        response.resize(response.size() - n);
        note("fault", which + fmt(": response %zu byte(s) short", n));
    }
    if (const Fault *f = fault(FaultKind::GarbageBeforeStx)) {
        const uint32_t n = at_least_one(f->param);
        response.insert(response.begin(), n, 0xA5);
        note("fault", which + fmt(": %u garbage byte(s) A5 before STX", n));
    }
    if (const Fault *f = fault(FaultKind::ExtraBytes)) {
        const uint32_t n = at_least_one(f->param);
        response.insert(response.end(), n, 0xEE);
        note("fault", which + fmt(": %u extra byte(s) EE after the response", n));
    }
    if (const Fault *f = fault(FaultKind::Delay)) {
        note("fault", which + fmt(": response delayed by %u ms", f->param));
        port_.busy(f->param);
    }
    if (has_fault(FaultKind::NoResponse)) {
        note("fault", which + ": no response (" + described + ")");
        return;
    }
    port_.send(response);
    note("tx", described + ": " + hex_bytes(response));
}

// Carries out a request and returns the response payload; none when the
// request gets no response.
std::optional<std::vector<uint8_t>> Device::execute(const Command &cmd, std::span<const uint8_t> f,
                                                    uint32_t &busy_ms) {
    const std::string which = fmt("%s #%d", std::string(cmd.code).c_str(), occurrence_);
    const std::string bad = frame_error(cmd.op, f);
    if (!bad.empty()) {
        note("rx", which + ": bad frame, not carried out: " + bad);
        if (has_status(cmd.op))
            return std::vector<uint8_t>{kStatusFrameError};
        return std::nullopt;
    }
    if (const Fault *st = fault(FaultKind::Status)) {
        const auto status = static_cast<uint8_t>(at_least_one(st->param));
        note("fault", which + fmt(": status 0x%02X, not carried out", status));
        return std::vector<uint8_t>{status};
    }
    if (const Fault *echo = fault(FaultKind::WrongEcho)) {
        note("fault", which + fmt(": echoes %u, not carried out", echo->param));
        std::vector<uint8_t> p;
        if (cmd.op == Op::Dev)
            p.push_back(static_cast<uint8_t>(echo->param));
        else
            put32(p, echo->param);
        return p;
    }

    std::lock_guard lock(shared_.mutex);
    int &dev = shared_.stats.device;
    uint32_t &bs = shared_.stats.block_size; // block size
    std::vector<uint8_t> p;
    switch (cmd.op) {
    case Op::Version: {
        const auto it = config_.version_texts.find(cmd.area->name);
        const std::string_view text =
            it != config_.version_texts.end() ? it->second : cmd.area->version;
        p.assign(12, 0);
        std::copy_n(text.begin(), std::min<size_t>(text.size(), 12), p.begin());
        break;
    }
    case Op::Sum: {
        uint16_t sum = shared_.flash.sum(*cmd.area);
        if (has_fault(FaultKind::WrongSum)) {
            ++sum;
            note("fault", which + fmt(": checksum sent as 0x%04X", sum));
        }
        put16(p, sum);
        break;
    }
    case Op::Dev:
        // An unknown device id leaves the selection alone and echoes it.
        if (f[5] < kDeviceCount)
            dev = f[5];
        p.push_back(static_cast<uint8_t>(dev));
        break;
    case Op::Siz: {
        // Sizes the device does not take leave the block size alone; the
        // echo then tells the client the size in force.
        const uint32_t size = be32(f, 5);
        if (size == 1024 || (size == 4096 && config_.max_block >= 4096))
            bs = size;
        put32(p, bs);
        break;
    }
    case Op::Ers: {
        const uint32_t addr = be32(f, 5), len = be32(f, 10);
        if (!Flash::contains(dev, addr, len)) {
            p.push_back(kStatusRangeError);
            break;
        }
        shared_.flash.erase(dev, addr, len);
        busy_ms = config_.erase_ms_per_block * ((len + bs - 1) / bs);
        p.push_back(kStatusOk);
        break;
    }
    case Op::Wdt: {
        const uint32_t addr = be32(f, 5);
        const auto data = f.subspan(10, f.size() - 14);
        if (!Flash::contains(dev, addr, data.size())) {
            p.push_back(kStatusRangeError);
            break;
        }
        const Fault *stuck = fault(FaultKind::StuckCell);
        const uint32_t cell = stuck ? addr + stuck->param % data.size() : 0;
        const std::vector<uint8_t> kept =
            stuck ? shared_.flash.read(dev, cell, 1) : std::vector<uint8_t>{};
        if (const uint32_t unerased = shared_.flash.program(dev, addr, data)) {
            ++shared_.stats.unerased_programs;
            note("flash", which + fmt(": programmed over %u unerased byte(s) at dev%d 0x%06X",
                                      unerased, dev, addr));
        }
        if (stuck) {
            shared_.flash.store(dev, cell, kept);
            note("fault", which + fmt(": cell 0x%06X kept 0x%02X", cell, kept[0]));
        }
        busy_ms = config_.program_ms_per_block;
        p.push_back(kStatusOk);
        break;
    }
    case Op::Rdt: {
        const uint32_t addr = be32(f, 5);
        if (!Flash::contains(dev, addr, bs)) {
            p.push_back(kStatusRangeError);
            break;
        }
        std::vector<uint8_t> block = shared_.flash.read(dev, addr, bs);
        uint16_t sum = sum16(block);
        if (const Fault *c = fault(FaultKind::CorruptBlock)) {
            const size_t at = c->param % block.size();
            block[at] ^= 0xFF;
            note("fault", which + fmt(": block byte %zu changed to 0x%02X", at, block[at]));
        }
        if (has_fault(FaultKind::WrongSum)) {
            ++sum;
            note("fault", which + fmt(": sum sent as 0x%04X", sum));
        }
        p.push_back(kStatusOk);
        p.push_back(SEP);
        p.insert(p.end(), block.begin(), block.end());
        p.push_back(SEP);
        put16(p, sum);
        break;
    }
    }
    return p;
}

} // namespace syscon_sim
