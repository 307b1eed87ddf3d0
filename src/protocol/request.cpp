#include "protocol/protocol.h"

#include "serial/events.h"
#include "serial/uart.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

uint16_t calc_sum(const uint8_t *bytes, uint32_t count) {
    uint16_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum;
}

namespace {

// Appends frame fields at a write position in g_frame_buf.
struct FrameWriter {
    uint32_t pos = 1; // byte 0 is STX

    void byte(uint8_t b) { g_frame_buf[pos++] = b; }
    void u32(uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            byte(static_cast<uint8_t>(v >> shift));
    }
    void u16(uint16_t v) {
        byte(static_cast<uint8_t>(v >> 8));
        byte(static_cast<uint8_t>(v));
    }
    void bytes(const uint8_t *p, uint32_t n) {
        if (n != 0)
            memcpy(&g_frame_buf[pos], p, n);
        pos += n;
    }
};

uint16_t sum_of_u32(uint32_t v) {
    const uint8_t be[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                           static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    return calc_sum(be, 4);
}

// Writes the whole frame across partial writes; -1 after reporting a failed write.
int write_frame(int fd, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, &g_frame_buf[done], length - done);
        if (n < 0) {
            const int err = errno;
            if ((err == EINTR && g_interrupted != 0) || uart_stopped(fd))
                return -1;
            report_error("%s(%d): ERROR: %s\n", SRC_NAME, LINE_WRITE_FAILED, strerror(err));
            return -1;
        }
        done += static_cast<uint32_t>(n);
    }
    return 0;
}

// Reports a try of `req` that got no ACK, unless the exchanges were stopped.
// Awaiting a busy SYSCON, the tries past the usual ones are one wait, told
// once by its message, not hundreds of retries.
void no_ack(int port, const CmdRequest &req, int tries, const char *why) {
    if (!uart_stopped(port) && (tries < SEND_TRIES || !g_exchange.await_syscon))
        event_retry(g_cmd_table[req.command].code, "ack", tries + 1, why);
}
static_assert(ACK_TIMEOUT_MS == 100, "the retry event names the ACK time limit");

} // namespace

uint32_t build_request(const CmdRequest &req) {
    g_frame_buf.fill(0);
    g_frame_buf[0] = STX;
    if (command_kind(req.command) == CMD_ACK)
        return 0;
    if (req.command == CMD_N_WDT && req.value > MAX_BLOCK_SIZE)
        return 0; // would not fit the frame buffer

    FrameWriter w;
    w.bytes(reinterpret_cast<const uint8_t *>(g_cmd_table[req.command].code), 3);
    switch (req.command) {
    case CMD_N_DEV:
        w.byte(SEP);
        w.byte(req.device_id);
        break;
    case CMD_N_SIZ:
        w.byte(SEP);
        w.u32(req.value);
        break;
    case CMD_N_ERS:
        w.byte(SEP);
        w.u32(req.address);
        w.byte(SEP);
        w.u32(req.value);
        w.byte(SEP);
        w.u16(static_cast<uint16_t>(sum_of_u32(req.address) + sum_of_u32(req.value)));
        break;
    case CMD_N_WDT:
        w.byte(SEP);
        w.u32(req.address);
        w.byte(SEP);
        w.bytes(req.data, req.value);
        w.byte(SEP);
        w.u16(static_cast<uint16_t>(sum_of_u32(req.address) + calc_sum(req.data, req.value)));
        break;
    case CMD_N_RDT:
        w.byte(SEP);
        w.u32(req.address);
        w.byte(SEP);
        w.u16(sum_of_u32(req.address));
        break;
    default: // the queries carry no argument
        break;
    }
    w.byte(ETX);
    return w.pos;
}

int wait_line_quiet(int *port) {
    return uart_wait_quiet(port, uart_quiet_ms(expected_length(CMD_N_RDT, g_block_size)));
}

int send_cmd(int *port, const CmdRequest *req) {
    const uint32_t length = build_request(*req);
    if (length == 0) {
        if (req->command == CMD_N_WDT)
            report_error("ERROR: Block too large: %u bytes: CMD_N_*** = %d\n", req->value,
                         CMD_N_WDT);
        else
            report_error("ERROR: Not Define Command: CMD_N_*** = %d)\n",
                         static_cast<int>(req->command));
        return -1;
    }

    // Awaiting the SYSCON, the tries are silent and go on up to the erase limit.
    const bool awaiting = g_exchange.await_syscon;
    const bool in_step = g_exchange.in_step;
    const uint32_t start = static_cast<uint32_t>(get_msec());
    const uint32_t patience = g_cmd_table[CMD_N_ERS].timeout;
    int noise = 0; // tries answered by a byte that is no ACK
    for (int tries = 0;
         tries < SEND_TRIES ||
         (awaiting && msec_elapsed(start, static_cast<uint32_t>(get_msec())) < patience);
         ++tries) {
        if (uart_stopped(*port))
            return -1;
        // A failed try may still be carried out: its duplicate's answer must
        // not meet a later request.
        g_exchange.barrier_due |= in_step && tries > 0;
        // A busy SYSCON says nothing; bytes that are no answer come from a
        // line at another rate.
        if (awaiting && noise == SEND_TRIES) {
            g_exchange.await_syscon = false;
            report_error("ERROR: Bytes arrive but form no answer: the line rate -b %u may not be "
                         "the SYSCON's\n",
                         g_uart_rate);
            return -1;
        }
        if (awaiting && tries == SEND_TRIES)
            report_error("The SYSCON does not answer: it may be finishing an earlier erase, or "
                         "-b %u may not be its rate; trying for up to %u s\n",
                         g_uart_rate, patience / 1000);
        // In step: nothing left over from an earlier exchange may be taken
        // for this one's ACK or response.
        if ((in_step &&
             ((tries > 0 && wait_line_quiet(port) != 0) || uart_discard_input(port) != 0)) ||
            write_frame(*port, length) != 0) {
            no_ack(*port, *req, tries, "the request could not be sent");
            continue;
        }
        // Out of step, nothing is flushed between tries: a stray byte costs
        // one try, and whatever follows it is read by the next wait.
        uint8_t ack = 0;
        const int rc = uart_recv(port, &ack, 1, g_cmd_table[CMD_N_ACK].timeout, !awaiting);
        if (rc == 0 && ack == ACK) {
            g_exchange.await_syscon = false;
            return 0;
        }
        noise += rc == 0;
        no_ack(*port, *req, tries,
               rc == 0              ? "a byte that is no ACK"
               : rc == RECV_TIMEOUT ? "no ACK within 100 ms"
                                    : "the ACK could not be read");
    }
    g_exchange.await_syscon = false;
    if (uart_stopped(*port))
        return -1;
    if (awaiting)
        report_error("ERROR: The SYSCON did not answer for %u s\n", patience / 1000);
    else
        report_error("ERROR: Transmit Retry OUT(%d): CMD_N_*** = %d)\n", SEND_TRIES,
                     static_cast<int>(req->command));
    return -1;
}
