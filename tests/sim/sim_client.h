// Test side of the line: a client on the simulator's slave, and request
// frames built byte by byte.
#pragma once

#include "pty.h"

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

Bytes be32(uint32_t v);
uint16_t sum16(const Bytes &b);
Bytes cat(std::initializer_list<Bytes> parts);

// Request frames.
Bytes dev_frame(uint8_t id);
Bytes siz_frame(uint32_t size);
Bytes ers_frame(uint32_t addr, uint32_t len);
Bytes wdt_frame(uint32_t addr, const Bytes &data);
Bytes rdt_frame(uint32_t addr);
Bytes query_frame(const std::string &code); // IRV ... FSM

// STX "$WP" ':' code ':' payload ETX
Bytes response(const std::string &code, const Bytes &payload);
// A status-0 RDT response carrying `block`.
Bytes rdt_response(const Bytes &block);

// A client with its port set raw 8N2.
class Client {
  public:
    explicit Client(const std::string &path, uint32_t rate = 115200);
    int fd() const { return fd_.get(); }
    void send(const Bytes &bytes);
    Bytes recv(size_t count, int timeout_ms = 3000);
    // Sends `frame` and reads `count` bytes back (ACK and response).
    Bytes exchange(const Bytes &frame, size_t count, int timeout_ms = 3000);
    // True when nothing arrives within `ms`.
    bool silent_for(int ms);

  private:
    testsupport::UniqueFd fd_;
};

} // namespace simtest
