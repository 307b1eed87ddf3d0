// The trace: one line per frame, fault, line-setting change and session
// event, stamped with milliseconds since the simulator started.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace syscon_sim {

using Clock = std::chrono::steady_clock;

class Trace {
  public:
    explicit Trace(const std::string &path); // "" none, "-" standard error
    ~Trace();
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    // "  1234.567 ms  tag    text"
    void write(Clock::time_point when, std::string_view tag, std::string_view text);

  private:
    std::FILE *file_ = nullptr;
    Clock::time_point start_ = Clock::now();
    std::mutex mutex_;
};

// "02 44 45"; more than 40 bytes are shortened to the first 16, a count, and the last 8.
std::string hex_bytes(std::span<const uint8_t> bytes);

} // namespace syscon_sim
