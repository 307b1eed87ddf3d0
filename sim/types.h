// The simulator's plain data: its configuration, the faults it can inject,
// the line settings it reads and the statistics it keeps.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace syscon_sim {

// What the device does wrong, chosen per command and per occurrence. The
// kinds' names and effects are listed once, under --fault in syscon_sim(1).
enum class FaultKind {
    Nak,
    NoAck,
    NoResponse,
    Status,
    WrongEcho,
    CorruptBlock,
    WrongSum,
    ShortResponse,
    ExtraBytes,
    GarbageBeforeStx,
    Delay,
    Hang,
    StuckCell,
    LateAck,
    HeldAck,
};

struct Fault {
    std::string cmd;    // three-letter command code, e.g. "RDT"
    int occurrence = 0; // 1-based n-th request of that command; 0 = every one
    FaultKind kind = FaultKind::Nak;
    uint32_t param = 0;
};

struct Config {
    uint32_t max_block = 4096;    // largest block size accepted by SIZ: 4096 or 1024
    uint32_t expect_baud = 0;     // line rate the device runs at; 0 = any rate
    bool pace = false;            // bytes cross the line at the client's rate, 11 bits each
    bool ack_after_frame = false; // ACK once the whole frame is in, not after its code
    // Busy time per block of an erase range / per programmed block; applied
    // with or without pace.
    uint32_t erase_ms_per_block = 0;
    uint32_t program_ms_per_block = 0;
    // After an answer, the time the device takes to turn to a request that
    // came in meanwhile (a retried request queued behind its own answer).
    uint32_t turnaround_ms = 0;
    // Version texts by area name, at most 12 bytes, padded with zero bytes on
    // the wire; an area not named here answers its own (kRomAreas).
    std::map<std::string, std::string, std::less<>> version_texts{};
    std::string trace_path; // "" no trace, "-" standard error
    // Serve from a SCHED_FIFO thread where the system allows it, so that the
    // device answers within its time limits however busy the other cores are.
    bool realtime = false;
    // Keep every received frame in Stats::frames, for the tests to look at.
    bool keep_frames = true;
};

// Line settings of the client's end, as the kernel holds them.
struct LineSettings {
    int data_bits = 8;
    int stop_bits = 2;
    char parity = 'N';         // 'N', 'E', 'O', or 'M'/'S' for mark/space parity
    bool raw = true;           // no canonical input, echo, signals, output or CR/LF processing
    uint32_t rate = 0;         // bits per second
    bool custom_speed = false; // set as BOTHER with an explicit rate

    std::string describe() const; // e.g. "8N2 raw 115200"
    bool operator==(const LineSettings &) const = default;
};

// What the device has seen, and its state that persists across sessions. A
// request counts once its code has arrived on a line the device understands;
// NAKed and faulted requests count too. Fault occurrences follow these
// counts. The counts and the frames start again at reset_statistics.
struct Stats {
    std::map<std::string, int> requests; // by command code
    uint64_t bytes_in = 0, bytes_out = 0;
    int unerased_programs = 0; // WDT blocks that hit a byte other than 0xFF
    int ignored_frames = 0;    // frames not understood because of the line settings
    // Raw bytes of every frame received, in order: NAKed, faulted and ignored
    // ones included; for an unknown code, STX and the three code bytes.
    std::vector<std::vector<uint8_t>> frames;
    std::optional<LineSettings> line; // last seen; none before a client
    int sessions_closed = 0;          // times the port was seen closed after a client opened it
    uint32_t block_size = 4096;       // as agreed by SIZ
    int device = 0;                   // as selected by DEV
};

} // namespace syscon_sim
