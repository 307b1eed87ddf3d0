#include "protocol/protocol.h"

std::array<uint8_t, FRAME_BUF_SIZE> g_frame_buf;
uint32_t g_block_size = MAX_BLOCK_SIZE;
bool g_resync = false;
bool g_await_syscon = false;

uint32_t expected_length(int command, uint32_t block) {
    switch (command) {
    case CMD_N_IRV:
    case CMD_N_ARV:
    case CMD_N_FRV:
    case CMD_N_ISM:
    case CMD_N_ASM:
    case CMD_N_FSM:
        return g_cmd_table[command].reply_length + 10;
    case CMD_N_DEV:
    case CMD_N_ERS:
    case CMD_N_WDT:
        return 11;
    case CMD_N_SIZ:
        return 14;
    case CMD_N_RDT:
        return block + 15;
    default:
        return 0;
    }
}
