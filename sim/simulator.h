// syscon_sim: a simulated SYSCON on a pseudo-terminal. The client (the tool
// under test, or a test) opens slave_path(); a background thread plays the
// device on the master side.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace syscon_sim {

// What the device does wrong, chosen per command and per occurrence.
enum class FaultKind {
    Nak,              // NAK (0x15) instead of ACK; the frame is not carried out
    NoAck,            // the frame goes unheard: no ACK, not carried out, no response
    NoResponse,       // ACK, the frame is carried out, but no response is sent
    Status,           // ERS/WDT/RDT not carried out, status byte = param (0 taken as 1)
    WrongEcho,        // DEV/SIZ not carried out, echo = param
    CorruptBlock,     // RDT: block byte number param (modulo the block size) inverted
    WrongSum,         // RDT: sum field one more than the block's sum; ISM/ASM/FSM: checksum + 1
    ShortResponse,    // the last param bytes of the response are not sent (0 taken as 1)
    ExtraBytes,       // param bytes 0xEE follow the response (0 taken as 1)
    GarbageBeforeStx, // param bytes 0xA5 precede the response (0 taken as 1)
    Delay,            // the response is sent param ms late
    Hang,      // from this request on the device answers nothing, until the faults are cleared
    StuckCell, // WDT carried out, but block byte param (modulo the block size) keeps its old value
    LateAck,   // the ACK is sent param ms late; carried out and answered as usual
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
    // Version texts, at most 12 bytes, padded with zero bytes on the wire.
    std::string apli_version = "APLI-1.00.00"; // ARV
    std::string ipl_version = "IPL-01.00.00";  // IRV
    std::string font_version = "FONT-1.00.00"; // FRV
    std::string trace_path;                    // "" no trace, "-" standard error
    // Serve from a SCHED_FIFO thread where the system allows it, so that the
    // device answers within its time limits however busy the other cores are.
    bool realtime = false;
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

// Why a UART set to `line` would not understand a device running 8N2 raw at
// `expect_baud` (0 = any rate); empty when it would.
std::string line_problem(const LineSettings &line, uint32_t expect_baud);

class Simulator {
  public:
    explicit Simulator(Config config);
    ~Simulator(); // stops
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Creates the pseudo-terminal pair and starts serving in a thread.
    // Throws std::system_error when no pseudo-terminal can be had.
    void start();
    // Stops serving and writes the summary to the trace. Idempotent.
    void stop();
    const std::string &slave_path() const;

    // Flash, usable while serving. Devices 0 and 1, 2 MiB each; ranges outside
    // throw std::out_of_range. write_flash stores bytes as they are.
    std::vector<uint8_t> read_flash(int device, uint32_t addr, uint32_t len) const;
    void write_flash(int device, uint32_t addr, const std::vector<uint8_t> &bytes);
    void fill_flash(int device, uint8_t value);
    // Image files for an area: "apli", "ipl", "font", "dev0", "dev1". A load
    // shorter than the area fills only its own length; a longer one throws.
    void load_area(const std::string &area, const std::string &path);
    void save_area(const std::string &area, const std::string &path) const;

    // Throws std::invalid_argument for an unknown command or a kind that does
    // not apply to it.
    void add_fault(const Fault &fault);
    void clear_faults();

    // Statistics since start (or reset_statistics). A request counts once its
    // code has arrived on a line the device understands; NAKed and faulted
    // requests count too. Fault occurrences follow these counts.
    int requests(const std::string &code) const;
    std::map<std::string, int> request_counts() const;
    uint64_t bytes_received() const;
    uint64_t bytes_sent() const;
    int unerased_programs() const; // WDT blocks that hit a byte other than 0xFF
    int ignored_frames() const;    // frames not understood because of the line settings
    // Raw bytes of every frame received, in order: NAKed, faulted and ignored
    // ones included; for an unknown code, STX and the three code bytes.
    std::vector<std::vector<uint8_t>> received_frames() const;
    std::optional<LineSettings> line_settings() const; // last seen; none before a client
    int sessions_opened() const;                       // times a client was seen to open the port
    int sessions_closed() const;                       // times the port was seen closed again
    void reset_statistics();

    // Device state that persists across sessions.
    uint32_t block_size() const;
    int selected_device() const;

    // "requests DEV=1 SIZ=1 ...; bytes in N out N; unerased programs N; ignored frames N"
    std::string summary() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace syscon_sim
