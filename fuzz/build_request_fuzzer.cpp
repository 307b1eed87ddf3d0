// Fuzzes the request frame builder with random CmdRequest values and checks
// every frame byte for byte against the frame layout: STX, the code, the
// ':'-separated big-endian fields, the 16-bit sum, ETX, and nothing but zero
// bytes behind it in the 4112-byte buffer (no leftovers of an earlier frame).
//
// Input: byte 0 command number (0xF0 and above become huge numbers), byte 1
// flags (bit 0: the data length is the next value modulo 4097, so that most
// WDT requests are buildable), bytes 2-5 address, 6-9 value, 10 device id,
// then the bytes to program (repeated to the data length; zeros when none).
#include "protocol/protocol.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The frame that `r` must produce; empty when it must be refused.
std::vector<uint8_t> expected_frame(const CmdRequest &r) {
    std::vector<uint8_t> f;
    if (r.command < 1 || r.command > 11 || (r.command == CMD_N_WDT && r.value > 4096))
        return f;
    const char *code = &"IRVARVFRVISMASMFSMDEVSIZERSWDTRDT"[3 * (r.command - 1)];
    f.insert(f.end(), {STX, uint8_t(code[0]), uint8_t(code[1]), uint8_t(code[2])});
    unsigned sum = 0;
    auto field = [&](uint32_t v, int bytes, bool summed) {
        f.push_back(':');
        for (int i = bytes - 1; i >= 0; --i) {
            f.push_back(static_cast<uint8_t>(v >> 8 * i));
            sum += summed ? f.back() : 0;
        }
    };
    if (r.command == CMD_N_DEV)
        field(r.device_id, 1, false);
    if (r.command == CMD_N_SIZ)
        field(r.value, 4, false);
    if (r.command >= CMD_N_ERS)
        field(r.address, 4, true);
    if (r.command == CMD_N_ERS)
        field(r.value, 4, true);
    if (r.command == CMD_N_WDT) {
        f.push_back(':');
        for (uint32_t i = 0; i < r.value; ++i)
            sum += r.data[i];
        f.insert(f.end(), r.data, r.data + r.value);
    }
    if (r.command >= CMD_N_ERS)
        field(sum & 0xFFFF, 2, false);
    f.push_back(ETX);
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 11)
        return 0;
    auto be32 = [&](size_t i) {
        return uint32_t(data[i]) << 24 | data[i + 1] << 16 | data[i + 2] << 8 | data[i + 3];
    };
    CmdRequest req{data[0] < 0xF0 ? data[0] : 0xFFFFFF00u | data[0], be32(2), be32(6), data[10],
                   nullptr};
    if (data[1] & 1)
        req.value %= 4097;
    // The caller's block: exactly as long as the data length when that fits a
    // frame; a single byte otherwise, which the builder must not read.
    const size_t n = req.value <= 4096 ? req.value : 1;
    auto block = std::make_unique<uint8_t[]>(n == 0 ? 1 : n);
    for (size_t i = 0; i < n; ++i)
        block[i] = size > 11 ? data[11 + i % (size - 11)] : 0;
    req.data = block.get();

    memset(g_frame_buf.data(), 0xEE, g_frame_buf.size());
    const uint32_t length = build_request(req);
    const std::vector<uint8_t> want = expected_frame(req);
    if (length != want.size() || !std::equal(want.begin(), want.end(), g_frame_buf.begin()))
        abort();
    for (size_t i = length == 0 ? 1 : length; i < g_frame_buf.size(); ++i)
        if (g_frame_buf[i] != 0)
            abort();
    return 0;
}
