// The SYSCON command protocol: the command table, request frames with their
// ACK handshake, the response parser and the execution of one command.
// Frame layouts, time limits and the resync policy: docs/protocol.md.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

// Command numbers, the index into g_cmd_table.
enum : int {
    CMD_N_ACK = 0,
    CMD_N_IRV = 1,  // version text of the boot loader area
    CMD_N_ARV = 2,  // version text of the application area
    CMD_N_FRV = 3,  // version text of the font area
    CMD_N_ISM = 4,  // checksum of the boot loader area
    CMD_N_ASM = 5,  // checksum of the application area
    CMD_N_FSM = 6,  // checksum of the font area
    CMD_N_DEV = 7,  // select the flash device
    CMD_N_SIZ = 8,  // set the block size
    CMD_N_ERS = 9,  // erase an address range
    CMD_N_WDT = 10, // program one block
    CMD_N_RDT = 11, // read one block
    CMD_N_COUNT = 12,
};

enum ReplyKind : uint32_t {
    REPLY_NONE = 0,   // no payload to keep
    REPLY_STRING = 1, // text, copied out zero-terminated
    REPLY_BINARY = 2, // raw bytes, copied out as they are
};

// How a command is run and judged.
enum CommandKind : uint32_t {
    CMD_ACK = 0,     // row 0, the ACK byte: no request
    CMD_QUERY = 1,   // version text or checksum: no argument, one attempt, no message of its own
    CMD_CONTROL = 2, // device or block size: one argument, echoed back; attempts
    CMD_BLOCK = 3,   // erase, program or read at an address: a status byte back; attempts
};

struct CommandInfo {
    char code[4];          // three letters and a NUL; row 0 holds the ACK byte
    uint32_t kind;         // CommandKind
    uint32_t reply_kind;   // ReplyKind
    uint32_t reply_length; // payload bytes in the response frame
    uint32_t timeout;      // ms allowed for the whole response frame
};

inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t ACK = 0x06;
inline constexpr uint8_t SEP = ':';

// Row 0 is the acknowledgement byte itself, not a request.
inline constexpr std::array<CommandInfo, CMD_N_COUNT> g_cmd_table{{
    {{ACK, 0, 0, 0}, CMD_ACK, REPLY_NONE, 0, 100},
    {"IRV", CMD_QUERY, REPLY_STRING, 12, 1000},
    {"ARV", CMD_QUERY, REPLY_STRING, 12, 1000},
    {"FRV", CMD_QUERY, REPLY_STRING, 12, 1000},
    {"ISM", CMD_QUERY, REPLY_BINARY, 2, 1000},
    {"ASM", CMD_QUERY, REPLY_BINARY, 2, 1000},
    {"FSM", CMD_QUERY, REPLY_BINARY, 2, 1000},
    {"DEV", CMD_CONTROL, REPLY_BINARY, 1, 1000},
    {"SIZ", CMD_CONTROL, REPLY_BINARY, 4, 1000},
    {"ERS", CMD_BLOCK, REPLY_BINARY, 1, 60000},
    {"WDT", CMD_BLOCK, REPLY_BINARY, 1, 3000},
    {"RDT", CMD_BLOCK, REPLY_BINARY, 1, 3000},
}};

// Kind of the command number `command`; CMD_ACK, no request, for row 0 and
// for every number outside the table.
constexpr uint32_t command_kind(uint32_t command) {
    return command < CMD_N_COUNT ? g_cmd_table[command].kind : CMD_ACK;
}

// A response frame: STX, "$WP", ':', the three-letter code, ':' (the head),
// the payload, ETX (the tail). An RDT response carries its block after the
// status byte, framed by ':' before and ':' and its 16-bit sum after.
inline constexpr uint32_t RESPONSE_HEAD = 9;
inline constexpr uint32_t RESPONSE_TAIL = 1;
inline constexpr uint32_t RDT_BLOCK_FRAMING = 4;

inline constexpr uint32_t MAX_BLOCK_SIZE = 4096;
inline constexpr uint32_t FRAME_BUF_SIZE = MAX_BLOCK_SIZE + 16;
inline constexpr uint32_t ACK_TIMEOUT_MS = 100;
inline constexpr int SEND_TRIES = 3;
inline constexpr int EXEC_ATTEMPTS = 3;
// Barrier exchanges tried before a careful operation gives up on its line.
inline constexpr int BARRIER_TRIES = 3;

// Payloads of at most 4 bytes fit the reply record; the largest frames
// (WDT request, RDT response, 4096-byte block) leave a zero byte behind
// them in the frame buffer. Only row 0 is no request; a control or block
// command's answer is binary, a block command's one status byte.
consteval bool table_is_sound() {
    for (int c = CMD_N_IRV; c < CMD_N_COUNT; ++c) {
        const CommandInfo &row = g_cmd_table[c];
        for (int i = 0; i < 3; ++i)
            if (row.code[i] < 'A' || row.code[i] > 'Z')
                return false;
        if (row.code[3] != 0 || row.reply_length == 0)
            return false;
        if (row.reply_kind == REPLY_BINARY && row.reply_length > 4)
            return false;
        if (row.kind != CMD_QUERY && row.kind != CMD_CONTROL && row.kind != CMD_BLOCK)
            return false;
        if (row.kind != CMD_QUERY && row.reply_kind != REPLY_BINARY)
            return false;
        if (row.kind == CMD_BLOCK && row.reply_length != 1)
            return false;
    }
    return g_cmd_table[CMD_N_ACK].kind == CMD_ACK && g_cmd_table[CMD_N_ACK].code[0] == ACK &&
           g_cmd_table[CMD_N_ACK].timeout == ACK_TIMEOUT_MS;
}
static_assert(table_is_sound());
static_assert(MAX_BLOCK_SIZE + 14 < FRAME_BUF_SIZE && // WDT request
              RESPONSE_HEAD + 1 + RDT_BLOCK_FRAMING + MAX_BLOCK_SIZE + RESPONSE_TAIL <
                  FRAME_BUF_SIZE); // RDT response

// The one buffer in which every request is built and every response received.
extern std::array<uint8_t, FRAME_BUF_SIZE> g_frame_buf;

// Block size of erase, write and read transfers; 4096 at start, 1024 after a fallback.
extern uint32_t g_block_size;

struct CmdRequest {
    uint32_t command;
    uint32_t address;    // ERS, WDT, RDT
    uint32_t value;      // SIZ: block size; ERS: range length; WDT: data length
    uint8_t device_id;   // DEV
    const uint8_t *data; // WDT: the bytes to program, not owned
};

struct CmdReply {
    uint32_t command;         // set by the caller
    uint32_t expected_length; // whole response frame, set by the caller
    char *text;               // REPLY_STRING: the caller's buffer, reply_length + 1 bytes
    uint8_t payload[4];       // REPLY_BINARY: as received; RDT: [0] status, [2..3] received sum
    const uint8_t *data;      // one past the payload and its separator: the block of an RDT
};

// 16-bit additive sum of the bytes.
uint16_t calc_sum(const uint8_t *bytes, uint32_t count);

// Builds the request frame for `req` in g_frame_buf. Returns its length, or 0
// for a command that is no request (row 0, or outside the table).
uint32_t build_request(const CmdRequest &req);

// Waits until the line has been quiet for longer than the longest response,
// an RDT of the block size, takes at the rate in force, dropping what arrives.
// Returns 0 or non-zero.
int wait_line_quiet(int *port);

// Sends the request and waits for its ACK, three tries. Returns 0 or -1.
int send_cmd(int *port, const CmdRequest *req);

// Checks a received response frame in `frame` (the expected length of bytes,
// followed by at least one zero byte) against the command of `reply` and
// copies its payload into `reply`. Does no I/O besides the error messages.
// Returns 0 when the frame is accepted, -1 otherwise.
int parse_response(std::span<const uint8_t> frame, CmdReply *reply);

// Receives the response to the command of `reply` and parses it. Returns 0 or -1.
int analyze_response(int *port, CmdReply *reply);

// Runs one command with its arguments and verifies the reply, with the
// command's attempts. Returns 0 or -1.
//   DEV: a = device id; SIZ: a = block size; ERS: a = address, b = length;
//   WDT: a = address, b = length, data; RDT: a = address, b = length.
int exec_cmd(int *port, int command, CmdReply *reply, uint32_t a = 0, uint32_t b = 0,
             const uint8_t *data = nullptr);

// Expected length of the response frame of `command`; `block` for RDT.
uint32_t expected_length(int command, uint32_t block);
