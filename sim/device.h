// The SYSCON firmware: assembles request frames from the received bytes,
// acknowledges them, carries them out on the flash and answers them.
#pragma once

#include "flash.h"
#include "trace.h"
#include "types.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace syscon_sim {

inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t ACK = 0x06;
inline constexpr uint8_t NAK = 0x15;
inline constexpr uint8_t NOISE = 0xF0; // a byte sent at another rate, as the client reads it
inline constexpr uint8_t SEP = ':';

// Status bytes of ERS, WDT and RDT responses.
inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusFrameError = 0x01; // wrong separator, sum or ETX
inline constexpr uint8_t kStatusRangeError = 0x02; // range outside the selected device

// Everything the API thread may look at while the device serves.
struct Shared {
    mutable std::mutex mutex;
    Flash flash;
    std::vector<Fault> faults;
    Stats stats;
    bool hung = false; // a Hang fault has struck: nothing is answered until the faults are cleared
};

// The device's side of the line.
class Port {
  public:
    virtual ~Port() = default;
    virtual Clock::time_point now() const = 0;             // device time
    virtual void send(std::span<const uint8_t> bytes) = 0; // paced when pacing
    virtual void busy(uint32_t ms) = 0;                    // the device works for ms
    virtual void turn(uint32_t ms) = 0; // works until ms after its last answer went out
};

// Empty when `fault` can be armed, else why not.
std::string fault_error(const Fault &fault);

// "requests DEV=1 SIZ=1 ...; bytes in N out N; unerased programs N; ignored frames N"
std::string summary(const Stats &stats);

class Device {
  public:
    Device(const Config &config, Shared &shared, Port &port, Trace &trace);

    // One received byte; `understood` is false when the line settings make it
    // unreadable for the device.
    void receive(uint8_t byte, bool understood);
    bool mid_frame() const { return !frame_.empty(); }
    // Discards a partial frame (silence on the line, or the client went away).
    void drop_frame(std::string_view why);
    void flush_junk();
    // The client's line runs at another rate than the device, and is
    // otherwise readable: each frame the device cannot read draws one byte
    // that the client's UART reads as noise.
    void set_other_rate(bool other) { other_rate_ = other; }

    struct Command;

  private:
    enum class Answer { Ack, Nak, Silent };

    void on_code();
    void on_frame();
    void acknowledge(const Command &cmd);
    void respond(const Command &cmd, std::span<const uint8_t> frame);
    void release_held();
    bool has_fault(FaultKind kind) const;
    const Fault *fault(FaultKind kind) const;
    std::optional<std::vector<uint8_t>> execute(const Command &cmd, std::span<const uint8_t> frame,
                                                uint32_t &busy_ms);
    void note(std::string_view tag, const std::string &text);
    void record(const std::vector<uint8_t> &frame); // for the statistics

    const Config &config_;
    Shared &shared_;
    Port &port_;
    Trace &trace_;

    std::vector<uint8_t> frame_; // frame in progress, from its STX
    std::vector<uint8_t> junk_;  // bytes outside any frame
    const Command *cmd_ = nullptr;
    size_t length_ = 0;
    int occurrence_ = 0;
    bool understood_ = true;
    bool hung_ = false;
    bool other_rate_ = false;
    Answer answer_ = Answer::Ack;
    std::vector<Fault> faults_; // armed faults that match the frame in progress
    // A request under HeldAck: the device is busy with it, and sends its ACK and answer when
    // the `left`-th request code after it has arrived.
    struct Held {
        const Command *cmd;
        std::vector<uint8_t> frame; // empty until it is whole
        std::vector<Fault> faults;
        int occurrence;
        uint32_t left;
    };
    std::optional<Held> held_;
};

} // namespace syscon_sim
