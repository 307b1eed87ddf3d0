// The serving thread: plays the device on the master of a pseudo-terminal,
// keeps the line's clock (pacing) and follows the clients' sessions.
#pragma once

#include "device.h"
#include "tty.h"

#include <string>
#include <thread>

namespace syscon_sim {

class Server {
  public:
    // Opens a pseudo-terminal and serves from a thread of its own until
    // destroyed. Throws std::system_error when no pseudo-terminal can be had.
    Server(const Config &config, Shared &shared, Trace &trace);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    const std::string &slave_path() const { return pty_.slave_path; }

  private:
    Pty pty_;
    Fd inotify_;
    Fd stop_fd_;
    std::thread thread_;
};

} // namespace syscon_sim
