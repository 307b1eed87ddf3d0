// Fuzzes the response parser with any bytes, any command number and either
// block size, and compares its verdict with a straightforward reading of the
// frame format over the zero-filled receive buffer.
//
// Input: byte 0 command number (0xF0 and above become huge numbers), byte 1
// bit 0 block size 1024 instead of 4096, then the received frame (at most
// 4111 bytes, like the longest frame the tool receives).
#include "protocol/protocol.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t MAX_FRAME = FRAME_BUF_SIZE - 1;
constexpr size_t TEXT_BUF = 32; // g_version_buf
constexpr char TEXT_GUARD = '\x5a';

struct Expected {
    int result = -1;
    uint8_t payload[4] = {};
    char text[13] = {};
    size_t data_offset = 0;
};

// The parser's rules, read off the frame format: searches stop at a zero
// byte, and the buffer holds zero bytes behind the received ones.
Expected reference(const uint8_t *buf, size_t e, uint32_t command, uint32_t block) {
    Expected x;
    if (command == CMD_N_ACK || command >= CMD_N_COUNT)
        return x;
    const CommandInfo &info = g_cmd_table[command];
    const size_t l = info.reply_length;
    auto at = [&](size_t i) -> uint8_t { return i < FRAME_BUF_SIZE ? buf[i] : 0; };
    auto find_sep = [&](size_t from) -> size_t {
        for (size_t i = from; at(i) != 0; ++i)
            if (at(i) == ':')
                return i;
        return 0;
    };

    if (at(0) != STX)
        return x;
    const size_t s1 = find_sep(1);
    if (s1 == 0 || s1 - 1 > 3 || memcmp(buf + 1, "$WP", s1 - 1) != 0)
        return x;
    const size_t s2 = find_sep(s1 + 1);
    if (s2 == 0 || at(s1 + 1) != static_cast<uint8_t>(info.code[0]))
        return x;
    const size_t payload = s2 + 1;
    if (info.reply_kind == REPLY_STRING) {
        for (size_t i = 0; i < l && at(payload + i) != 0; ++i)
            x.text[i] = static_cast<char>(at(payload + i));
    } else {
        for (size_t i = 0; i < l; ++i)
            x.payload[i] = at(payload + i);
    }
    x.data_offset = payload + l + 1;
    size_t parsed = payload + l;
    size_t terminator = payload + l;
    if (command == CMD_N_RDT && x.payload[0] == 0 && at(payload + l) == ':') {
        const size_t behind = x.data_offset + block;
        if (at(behind) != ':')
            return x;
        x.payload[2] = at(behind + 1);
        x.payload[3] = at(behind + 2);
        parsed += 1 + block + 1 + 2;
        terminator = behind + 3;
    }
    if (at(terminator) != ETX)
        return x;
    if (parsed + 1 != e)
        return x;
    x.result = 0;
    return x;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const uint32_t command = data[0] < 0xF0 ? data[0] : 0xFFFFFF00u | data[0];
    const uint32_t block = (data[1] & 1) ? 1024 : 4096;
    const size_t e = std::min(size - 2, MAX_FRAME);

    // The receive buffer as the tool has it: 4112 bytes, zero behind the frame.
    auto buf = std::make_unique<uint8_t[]>(FRAME_BUF_SIZE);
    std::fill_n(buf.get(), FRAME_BUF_SIZE, 0);
    std::copy_n(data + 2, e, buf.get());

    // The reply record as the callers prepare it.
    auto text = std::make_unique<char[]>(TEXT_BUF);
    std::fill_n(text.get(), TEXT_BUF, TEXT_GUARD);
    CmdReply reply{};
    reply.command = command;
    reply.expected_length = static_cast<uint32_t>(e);
    const bool is_version = command >= CMD_N_IRV && command <= CMD_N_FRV;
    if (is_version)
        reply.text = text.get();

    g_block_size = block;
    const int rc = parse_response(std::span<const uint8_t>(buf.get(), e), &reply);

    // What the parser may never do, accepted or not.
    if (reply.command != command || reply.expected_length != e)
        abort();
    if (rc != 0 && rc != -1)
        abort();
    for (size_t i = 13; i < TEXT_BUF; ++i)
        if (text[i] != TEXT_GUARD)
            abort(); // wrote past the 12 characters and their zero byte
    if (is_version && std::find(text.get(), text.get() + 13, '\0') == text.get() + 13 &&
        text[0] != TEXT_GUARD)
        abort(); // text left without its zero byte

    const Expected x = reference(buf.get(), e, command, block);
    if (rc != x.result)
        abort();
    if (rc != 0)
        return 0;
    if (reply.data != buf.get() + x.data_offset)
        abort();
    if (is_version) {
        if (memcmp(reply.text, x.text, 13) != 0)
            abort();
    } else if (command == CMD_N_RDT) {
        if (reply.payload[0] != x.payload[0] || reply.payload[2] != x.payload[2] ||
            reply.payload[3] != x.payload[3])
            abort();
    } else if (memcmp(reply.payload, x.payload, g_cmd_table[command].reply_length) != 0) {
        abort();
    }
    return 0;
}
