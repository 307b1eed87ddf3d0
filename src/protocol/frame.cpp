// The protocol's process-wide state, and the length of each response frame.
#include "protocol/protocol.h"

std::array<uint8_t, FRAME_BUF_SIZE> g_frame_buf;
uint32_t g_block_size = MAX_BLOCK_SIZE;

uint32_t expected_length(int command, uint32_t block) {
    if (command_kind(static_cast<uint32_t>(command)) == CMD_ACK)
        return 0;
    const uint32_t frame = RESPONSE_HEAD + g_cmd_table[command].reply_length + RESPONSE_TAIL;
    return command == CMD_N_RDT ? frame + RDT_BLOCK_FRAMING + block : frame;
}
