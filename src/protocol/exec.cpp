#include "protocol/protocol.h"

#include "serial/events.h"
#include "serial/uart.h"

#include <cstring>

namespace {

uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Judges an accepted response by what the command asked for, and reports a
// failed attempt. Returns true when the command was carried out. Queries are
// judged by their parse alone and never come here.
bool accept(const CmdRequest &req, const CmdReply &reply, bool parsed) {
    const uint8_t status = reply.payload[0];
    switch (req.command) {
    case CMD_N_DEV:
        if (parsed && status == req.device_id)
            return true;
        report_error("ERROR: Invalid Response: Device ID Disagreement(0x%01x)\n", status);
        return false;
    case CMD_N_SIZ:
        if (parsed && be32(reply.payload) == req.value)
            return true;
        report_error("ERROR: Invalid Response: Block Size Disagreement(0x%08x -> 0x%08x)\n",
                     req.value, be32(reply.payload));
        return false;
    case CMD_N_ERS:
        if (parsed && status == 0)
            return true;
        report_error("ERROR: Invalid Response: Erase error(0x%01x)\n", status);
        return false;
    case CMD_N_WDT:
        if (parsed && status == 0)
            return true;
        report_error("ERROR: Invalid Response: Write Data error(0x%01x)\n", status);
        return false;
    case CMD_N_RDT: {
        if (!parsed || status != 0) {
            report_error("ERROR: Invalid Response: Read Data error(0x%01x)\n", status);
            return false;
        }
        const uint16_t received = static_cast<uint16_t>(reply.payload[2] << 8 | reply.payload[3]);
        const uint16_t computed = calc_sum(reply.data, req.value);
        if (received == computed)
            return true;
        report_error("ERROR: Invalid Response: Read Data error(sum=0x%01x / 0x%01x)\n", received,
                     computed);
        return false;
    }
    default:
        report_error("ERROR: Not Define Command: CMD_N_*** = %d)\n", static_cast<int>(req.command));
        return false;
    }
}

// A response that was not accepted, unless the exchanges were stopped.
void not_accepted(int port, const CmdRequest &req, int attempt) {
    if (!uart_stopped(port))
        event_retry(g_cmd_table[req.command].code, "response", attempt + 1,
                    "response not accepted");
}

// Receives and parses the response. In step, the answer must also name the
// command in full, header and all three letters: the classic parse compares
// only the first letter, so ISM would take an IRV answer's head.
bool answered(int *port, CmdReply *reply) {
    if (analyze_response(port, reply) != 0)
        return false;
    if (!g_exchange.in_step || (memcmp(&g_frame_buf[1], "$WP:", 4) == 0 &&
                                memcmp(&g_frame_buf[5], g_cmd_table[reply->command].code, 3) == 0))
        return true;
    report_error("ERROR: Invalid Response: CMD_N_*** = %d\n", static_cast<int>(reply->command));
    return false;
}

// After an exchange that needed more than one try, the SYSCON may still be
// answering a duplicate of its request, and an answer carries no address: it
// would be taken for the next request's, and every later block would pair
// with the one before. The barrier waits for a quiet line and asks for the
// boot loader's version text. The SYSCON answers in order, so once that
// answer is in, everything sent before it has been answered, and all that
// can still come is more version answers, which no other request accepts.
int bring_in_step(int *port) {
    char text[g_cmd_table[CMD_N_IRV].reply_length + 1];
    CmdReply reply{};
    reply.text = text;
    for (int i = 0; i < BARRIER_TRIES && !uart_stopped(*port); ++i) {
        event_resync(i + 1);
        g_exchange.barrier_due = false;
        wait_line_quiet(port);
        if (exec_cmd(port, CMD_N_IRV, &reply) == 0) {
            g_exchange.barrier_due = false;
            return 0;
        }
    }
    if (!uart_stopped(*port))
        report_error("ERROR: The exchanges could not be brought back in step: no answer to the "
                     "version query that serves as their barrier\n");
    return -1;
}

static_assert(g_cmd_table[CMD_N_IRV].kind == CMD_QUERY, "the barrier is one silent attempt");

} // namespace

int exec_cmd(int *port, int command, CmdReply *reply, uint32_t a, uint32_t b, const uint8_t *data) {
    CmdRequest req{};
    req.command = static_cast<uint32_t>(command);
    const uint32_t kind = command_kind(req.command);
    if (kind == CMD_BLOCK) {
        req.address = a;
        req.value = b;
        req.data = data;
    } else if (command == CMD_N_DEV) {
        req.device_id = static_cast<uint8_t>(a);
    } else if (command == CMD_N_SIZ) {
        req.value = a;
    }

    if (g_exchange.barrier_due && bring_in_step(port) != 0)
        return -1;
    if (kind == CMD_QUERY) {
        // Queries get one attempt and no message of their own.
        if (send_cmd(port, &req) != 0)
            return -1;
        reply->command = req.command;
        reply->expected_length = expected_length(command, 0);
        if (answered(port, reply))
            return 0;
        not_accepted(*port, req, 0);
        g_exchange.barrier_due = g_exchange.in_step;
        return -1;
    }
    if (command == CMD_N_RDT && b != g_block_size) {
        // The block is found and summed by the agreed block size alone.
        report_error("ERROR: RDT: length 0x%x is not the block size 0x%x\n", b, g_block_size);
        return -1;
    }
    if (kind == CMD_ACK) {
        // No caller issues these; nothing is sent.
        report_error("ERROR: Not Define Command: CMD_N_*** = %d)\n", command);
        return 0;
    }

    for (int attempt = 0; attempt < EXEC_ATTEMPTS; ++attempt) {
        if (uart_stopped(*port))
            return -1; // stopped without a further word
        // The rest of a failed attempt's response must not meet the next one;
        // a line that never falls quiet shows in the next try's ACK.
        if (g_exchange.in_step && attempt > 0) {
            g_exchange.barrier_due = true;
            wait_line_quiet(port);
        }
        if (send_cmd(port, &req) != 0)
            return -1; // never acknowledged: further attempts would fare no better
        reply->command = req.command;
        reply->expected_length = expected_length(command, req.value);
        const bool parsed = answered(port, reply);
        if (uart_stopped(*port))
            return -1;
        if (accept(req, *reply, parsed))
            return 0;
        not_accepted(*port, req, attempt);
    }
    report_error("ERROR: Retry OUT(%d): CMD_N_*** = %d)\n", EXEC_ATTEMPTS, command);
    return -1;
}
