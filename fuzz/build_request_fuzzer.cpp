// Fuzzes the request frame builder with random CmdRequest values and checks
// every frame against the frame layout written out field by field: STX, the
// code, the ':'-separated big-endian fields, the 16-bit sum, ETX, and zero
// bytes behind the frame up to the end of the 4112-byte buffer.
//
// Input: byte 0 command number (0xF0 and above become huge numbers), byte 1
// flags (bit 0: the data length is the next value modulo 4097, so that most
// WDT requests are buildable), bytes 2-5 address, 6-9 value, 10 device id,
// then the bytes to program (repeated to the data length; zeros when none).
#include "protocol/protocol.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void put32(std::vector<uint8_t> &f, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        f.push_back(static_cast<uint8_t>(v >> shift));
}

uint16_t sum(const uint8_t *p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s += p[i];
    return static_cast<uint16_t>(s);
}

uint16_t sum32(uint32_t v) {
    return static_cast<uint16_t>((v >> 24 & 0xFF) + (v >> 16 & 0xFF) + (v >> 8 & 0xFF) +
                                 (v & 0xFF));
}

void put16(std::vector<uint8_t> &f, uint16_t v) {
    f.push_back(static_cast<uint8_t>(v >> 8));
    f.push_back(static_cast<uint8_t>(v));
}

// The frame that `req` must produce; empty when it must be refused.
std::vector<uint8_t> expected_frame(const CmdRequest &req) {
    static const char *const codes[] = {nullptr, "IRV", "ARV", "FRV", "ISM", "ASM",
                                        "FSM",   "DEV", "SIZ", "ERS", "WDT", "RDT"};
    std::vector<uint8_t> f;
    if (req.command < 1 || req.command > 11)
        return f;
    if (req.command == 10 && req.value > 4096)
        return f; // the frame would not fit the 4112-byte buffer
    f.push_back(0x02);
    f.insert(f.end(), codes[req.command], codes[req.command] + 3);
    switch (req.command) {
    case 7: // DEV
        f.push_back(':');
        f.push_back(req.device_id);
        break;
    case 8: // SIZ
        f.push_back(':');
        put32(f, req.value);
        break;
    case 9: // ERS
        f.push_back(':');
        put32(f, req.address);
        f.push_back(':');
        put32(f, req.value);
        f.push_back(':');
        put16(f, static_cast<uint16_t>(sum32(req.address) + sum32(req.value)));
        break;
    case 10: // WDT
        f.push_back(':');
        put32(f, req.address);
        f.push_back(':');
        f.insert(f.end(), req.data, req.data + req.value);
        f.push_back(':');
        put16(f, static_cast<uint16_t>(sum32(req.address) + sum(req.data, req.value)));
        break;
    case 11: // RDT
        f.push_back(':');
        put32(f, req.address);
        f.push_back(':');
        put16(f, sum32(req.address));
        break;
    default:
        break;
    }
    f.push_back(0x03);
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 11)
        return 0;
    CmdRequest req{};
    req.command = data[0] < 0xF0 ? data[0] : 0xFFFFFF00u | data[0];
    req.address = be32(data + 2);
    req.value = be32(data + 6);
    if (data[1] & 1)
        req.value %= 4097;
    req.device_id = data[10];

    // The caller's block: exactly as long as the data length says when that
    // fits a frame; a single byte otherwise, which the builder must not read.
    const size_t n = req.value <= 4096 ? req.value : 1;
    auto block = std::make_unique<uint8_t[]>(n == 0 ? 1 : n);
    for (size_t i = 0; i < n; ++i)
        block[i] = size > 11 ? data[11 + i % (size - 11)] : 0;
    req.data = block.get();

    // Leftovers of an earlier frame must not survive.
    memset(g_frame_buf.data(), 0xEE, g_frame_buf.size());
    const CmdRequest before = req;
    const uint32_t length = build_request(req);

    if (before.command != req.command || before.address != req.address ||
        before.value != req.value || before.device_id != req.device_id || before.data != req.data)
        abort(); // the request belongs to the caller
    const std::vector<uint8_t> want = expected_frame(req);
    if (length != want.size())
        abort();
    if (length > FRAME_BUF_SIZE - 2)
        abort(); // no zero byte left behind the frame
    if (!want.empty() && memcmp(g_frame_buf.data(), want.data(), want.size()) != 0)
        abort();
    for (size_t i = length == 0 ? 1 : length; i < g_frame_buf.size(); ++i)
        if (g_frame_buf[i] != 0)
            abort();
    return 0;
}
