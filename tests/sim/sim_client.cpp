#include "sim_client.h"

namespace simtest {

Bytes be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

uint16_t sum16(const Bytes &b) {
    uint16_t s = 0;
    for (uint8_t v : b)
        s = static_cast<uint16_t>(s + v);
    return s;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

namespace {
Bytes be16(uint16_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes code_bytes(const std::string &code) {
    return Bytes(code.begin(), code.end());
}
} // namespace

Bytes dev_frame(uint8_t id) {
    return {0x02, 'D', 'E', 'V', ':', id, 0x03};
}

Bytes siz_frame(uint32_t size) {
    return cat({{0x02, 'S', 'I', 'Z', ':'}, be32(size), {0x03}});
}

Bytes ers_frame(uint32_t addr, uint32_t len) {
    const uint16_t sum = static_cast<uint16_t>(sum16(be32(addr)) + sum16(be32(len)));
    return cat(
        {{0x02, 'E', 'R', 'S', ':'}, be32(addr), {':'}, be32(len), {':'}, be16(sum), {0x03}});
}

Bytes wdt_frame(uint32_t addr, const Bytes &data) {
    const uint16_t sum = static_cast<uint16_t>(sum16(be32(addr)) + sum16(data));
    return cat({{0x02, 'W', 'D', 'T', ':'}, be32(addr), {':'}, data, {':'}, be16(sum), {0x03}});
}

Bytes rdt_frame(uint32_t addr) {
    return cat({{0x02, 'R', 'D', 'T', ':'}, be32(addr), {':'}, be16(sum16(be32(addr))), {0x03}});
}

Bytes query_frame(const std::string &code) {
    return cat({{0x02}, code_bytes(code), {0x03}});
}

Bytes response(const std::string &code, const Bytes &payload) {
    return cat({{0x02, '$', 'W', 'P', ':'}, code_bytes(code), {':'}, payload, {0x03}});
}

Bytes rdt_response(const Bytes &block) {
    return response("RDT", cat({{0x00, ':'}, block, {':'}, be16(sum16(block))}));
}

Client::Client(const std::string &path, uint32_t rate)
    : fd_(testsupport::open_raw_port(path, rate)) {}

void Client::send(const Bytes &bytes) {
    testsupport::write_all(fd_.get(), bytes);
}

Bytes Client::recv(size_t count, int timeout_ms) {
    return testsupport::read_some(fd_.get(), count, timeout_ms);
}

Bytes Client::exchange(const Bytes &frame, size_t count, int timeout_ms) {
    send(frame);
    return recv(count, timeout_ms);
}

bool Client::silent_for(int ms) {
    return recv(1, ms).empty();
}

} // namespace simtest
