#include "protocol/protocol.h"

#include "serial/events.h"
#include "serial/uart.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

constexpr char HEADER[] = "$WP";

// The received frame as the parser sees it: the bytes behind the frame read
// as zero, just as in the zeroed frame buffer, so no check can look past it.
struct Frame {
    std::span<const uint8_t> bytes;

    uint8_t at(size_t i) const { return i < bytes.size() ? bytes[i] : 0; }

    // Position of the first ':' from `from` on, stopping at a zero byte.
    std::optional<size_t> find_sep(size_t from) const {
        for (size_t i = from; at(i) != 0; ++i)
            if (at(i) == SEP)
                return i;
        return std::nullopt;
    }
};

int invalid(const char *check, const CmdReply *reply) {
    if (check)
        report_error("%s", check);
    report_error("ERROR: Invalid Response: CMD_N_*** = %d\n", static_cast<int>(reply->command));
    return -1;
}

} // namespace

int parse_response(std::span<const uint8_t> bytes, CmdReply *reply) {
    if (command_kind(reply->command) == CMD_ACK)
        return invalid(nullptr, reply); // no response frame belongs to these
    const CommandInfo &info = g_cmd_table[reply->command];
    const uint32_t len = info.reply_length;
    const Frame f{bytes};

    if (f.at(0) != STX)
        return invalid("ERROR: Analize receive data(STX).", reply);

    // The header passes when it is a leading part of "$WP", the empty text included.
    const std::optional<size_t> sep1 = f.find_sep(1);
    if (!sep1)
        return invalid("ERROR: Analize receive data(HEADER).", reply);
    const size_t h = *sep1 - 1;
    if (h > 3 || !std::equal(bytes.begin() + 1, bytes.begin() + 1 + static_cast<long>(h), HEADER))
        return invalid("ERROR: Analize receive data(HEADER).", reply);

    // Only the first letter of the command field is compared.
    const std::optional<size_t> sep2 = f.find_sep(*sep1 + 1);
    if (!sep2 || f.at(*sep1 + 1) != static_cast<uint8_t>(info.code[0]))
        return invalid("ERROR: Analize receive data(COMMAND).", reply);

    const size_t payload = *sep2 + 1;
    if (info.reply_kind == REPLY_STRING) {
        if (reply->text) {
            size_t i = 0;
            for (; i < len && f.at(payload + i) != 0; ++i)
                reply->text[i] = static_cast<char>(f.at(payload + i));
            std::fill(reply->text + i, reply->text + len + 1, '\0');
        }
    } else if (info.reply_kind == REPLY_BINARY) {
        for (size_t i = 0; i < len; ++i)
            reply->payload[i] = f.at(payload + i);
    }
    const size_t data = payload + len + 1;
    reply->data = bytes.data() + std::min(data, bytes.size());
    size_t parsed = payload + len; // STX, header, ':', command, ':', payload
    size_t terminator = parsed;

    if (reply->command == CMD_N_RDT && reply->payload[0] == 0 && f.at(payload + len) == SEP) {
        // The block, its ':' and its sum must all lie inside the received frame.
        const size_t behind = data + g_block_size;
        if (behind + 2 >= bytes.size() || f.at(behind) != SEP)
            return invalid("ERROR: RDT: Nothing flash read data!", reply);
        reply->payload[2] = f.at(behind + 1);
        reply->payload[3] = f.at(behind + 2);
        parsed += 1 + g_block_size + 1 + 2;
        terminator = behind + 3;
    }

    if (f.at(terminator) != ETX)
        return invalid("ERROR: Analize receive data(ETX).", reply);
    parsed += 1;
    if (parsed != bytes.size())
        return invalid(nullptr, reply);
    return 0;
}

int analyze_response(int *port, CmdReply *reply) {
    g_frame_buf.fill(0);
    // At least one zero byte stays behind the frame.
    if (reply->expected_length >= FRAME_BUF_SIZE)
        return invalid(nullptr, reply);
    const uint32_t timeout =
        reply->command < CMD_N_COUNT ? g_cmd_table[reply->command].timeout : g_cmd_table[0].timeout;
    if (const int rc = uart_recv(port, g_frame_buf.data(), reply->expected_length, timeout);
        rc != 0)
        return uart_stopped(*port) ? -1 : invalid(nullptr, reply);
    return parse_response(std::span(g_frame_buf.data(), reply->expected_length), reply);
}
