// syscon_sim: a simulated SYSCON on a pseudo-terminal. The client (the tool
// under test, or a test) opens slave_path(); a background thread plays the
// device on the master side. Its behaviour and faults: docs/syscon_sim.1.
//
// Calls run one way: this facade -> server.h (serving thread, pacing,
// sessions) -> device.h (the firmware) -> flash.h, trace.h; types.h holds
// the plain data, tty.h the pseudo-terminals (the tests' support uses it).
#pragma once

#include "types.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace syscon_sim {

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
    // Image files for a ROM area ("apli", "ipl", "font": kRomAreas) or a whole
    // device ("dev0", "dev1"). A load shorter than the area fills only its own
    // length; a longer one throws.
    void load_area(const std::string &area, const std::string &path);
    void save_area(const std::string &area, const std::string &path) const;

    // Throws std::invalid_argument for an unknown command or a kind that does
    // not apply to it.
    void add_fault(const Fault &fault);
    void clear_faults(); // and ends a hang

    Stats stats() const;
    // Starts the counts and the frames again; the rest of Stats stays.
    void reset_statistics();
    // "requests DEV=1 SIZ=1 ...; bytes in N out N; unerased programs N; ignored frames N"
    std::string summary() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace syscon_sim
