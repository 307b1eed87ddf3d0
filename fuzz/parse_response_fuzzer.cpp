// Fuzzes the response parser two ways. Any bytes, any command number: the
// parser answers 0 or -1 and stays inside the frame and the text buffer
// (ASan), and what it accepts runs from STX to ETX. A well-formed response
// for the command, with the payload (and an RDT's block) found where a
// well-formed frame has them in the input: it is accepted, and its text,
// payload, block and block sum come out as sent.
//
// Input: byte 0 command number (0xF0 and above become huge numbers), byte 1
// bit 0 block size 1024 instead of 4096, then the frame (at most 4111 bytes).
#include "protocol/protocol.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char k_codes[] = "IRVARVFRVISMASMFSMDEVSIZERSWDTRDT";
constexpr size_t k_payload[] = {12, 12, 12, 2, 2, 2, 1, 4, 1, 1, 1};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const uint32_t command = data[0] < 0xF0 ? data[0] : 0xFFFFFF00u | data[0];
    g_block_size = (data[1] & 1) ? 1024 : 4096;
    const uint8_t *in = data + 2;
    const size_t n = std::min(size - 2, size_t{FRAME_BUF_SIZE - 1});

    // Exactly sized buffers, so that ASan sees any read or write past them.
    auto frame = std::make_unique<uint8_t[]>(n);
    std::copy_n(in, n, frame.get());
    auto text = std::make_unique<char[]>(13);
    CmdReply reply{command, static_cast<uint32_t>(n), text.get(), {}, nullptr};
    const int rc = parse_response(std::span<const uint8_t>(frame.get(), n), &reply);
    if (rc != 0 && rc != -1)
        abort();
    if (rc == 0 && (frame[0] != STX || frame[n - 1] != ETX || reply.data > frame.get() + n))
        abort();

    if (command < 1 || command > 11)
        return 0;
    const size_t len = k_payload[command - 1];
    std::vector<uint8_t> f{STX, '$', 'W', 'P', ':'};
    f.insert(f.end(), k_codes + 3 * (command - 1), k_codes + 3 * command);
    f.push_back(':');
    for (size_t i = 0; i < len; ++i)
        f.push_back(n ? in[(9 + i) % n] : 0);
    const bool block = command == CMD_N_RDT && f[9] == 0;
    uint16_t sum = 0;
    if (block) {
        f.push_back(':');
        for (uint32_t i = 0; i < g_block_size; ++i) {
            f.push_back(n ? in[(11 + i) % n] : 0);
            sum = static_cast<uint16_t>(sum + f.back());
        }
        f.insert(f.end(), {':', static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)});
    }
    f.push_back(ETX);

    std::fill_n(text.get(), 13, 'Z'); // so that a missing zero byte shows
    CmdReply r{command, static_cast<uint32_t>(f.size()), text.get(), {}, nullptr};
    if (parse_response(f, &r) != 0)
        abort();
    if (command <= CMD_N_FRV) {
        char want[13] = {};
        for (size_t i = 0; i < len && f[9 + i] != 0; ++i)
            want[i] = static_cast<char>(f[9 + i]);
        if (memcmp(text.get(), want, 13) != 0)
            abort();
    } else if (memcmp(r.payload, &f[9], command == CMD_N_RDT ? 1 : len) != 0) {
        abort();
    }
    if (block && (r.data != &f[11] || r.payload[2] != (sum >> 8) || r.payload[3] != (sum & 0xFF)))
        abort();
    return 0;
}
