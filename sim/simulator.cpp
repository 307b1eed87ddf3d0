#include "simulator.h"

#include "flash.h"
#include "server.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace syscon_sim {

struct Simulator::Impl {
    explicit Impl(Config c) : config(std::move(c)), trace(config.trace_path) {}

    Config config;
    Trace trace;
    Shared shared;
    std::unique_ptr<Server> server; // while serving
    std::string slave_path;
};

Simulator::Simulator(Config config) {
    if (config.max_block != 4096 && config.max_block != 1024)
        throw std::invalid_argument("max_block must be 4096 or 1024");
    for (const auto &[area, text] : config.version_texts) {
        if (!find_rom_area(area))
            throw std::invalid_argument("version text for unknown area '" + area + "'");
        if (text.size() > 12)
            throw std::invalid_argument("version text longer than 12 bytes: " + text);
    }
    impl_ = std::make_unique<Impl>(std::move(config));
    impl_->shared.stats.block_size = impl_->config.max_block;
}

Simulator::~Simulator() {
    stop();
}

void Simulator::start() {
    if (impl_->server)
        return;
    impl_->server = std::make_unique<Server>(impl_->config, impl_->shared, impl_->trace);
    impl_->slave_path = impl_->server->slave_path();
}

void Simulator::stop() {
    if (!impl_ || !impl_->server)
        return;
    impl_->server.reset();
    impl_->trace.write(Clock::now(), "summary", summary());
}

const std::string &Simulator::slave_path() const {
    return impl_->slave_path;
}

std::vector<uint8_t> Simulator::read_flash(int device, uint32_t addr, uint32_t len) const {
    std::lock_guard lock(impl_->shared.mutex);
    return impl_->shared.flash.read(device, addr, len);
}

void Simulator::write_flash(int device, uint32_t addr, const std::vector<uint8_t> &bytes) {
    std::lock_guard lock(impl_->shared.mutex);
    impl_->shared.flash.store(device, addr, bytes);
}

void Simulator::fill_flash(int device, uint8_t value) {
    std::lock_guard lock(impl_->shared.mutex);
    impl_->shared.flash.fill(device, value);
}

void Simulator::load_area(const std::string &area, const std::string &path) {
    const Area *a = find_area(area);
    if (!a)
        throw std::invalid_argument("unknown area '" + area + "'");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    if (bytes.size() > a->size)
        throw std::runtime_error(path + " is larger than area " + area);
    std::lock_guard lock(impl_->shared.mutex);
    impl_->shared.flash.store(a->device, a->start, bytes);
}

void Simulator::save_area(const std::string &area, const std::string &path) const {
    const Area *a = find_area(area);
    if (!a)
        throw std::invalid_argument("unknown area '" + area + "'");
    const std::vector<uint8_t> bytes = read_flash(a->device, a->start, a->size);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

void Simulator::add_fault(const Fault &fault) {
    if (const std::string why = fault_error(fault); !why.empty())
        throw std::invalid_argument("fault " + fault.cmd + ": " + why);
    std::lock_guard lock(impl_->shared.mutex);
    impl_->shared.faults.push_back(fault);
}

void Simulator::clear_faults() {
    std::lock_guard lock(impl_->shared.mutex);
    impl_->shared.faults.clear();
    impl_->shared.hung = false;
}

Stats Simulator::stats() const {
    std::lock_guard lock(impl_->shared.mutex);
    return impl_->shared.stats;
}

void Simulator::reset_statistics() {
    std::lock_guard lock(impl_->shared.mutex);
    Stats &s = impl_->shared.stats;
    s.requests.clear();
    s.bytes_in = s.bytes_out = 0;
    s.unerased_programs = s.ignored_frames = 0;
    s.frames.clear();
}

std::string Simulator::summary() const {
    return syscon_sim::summary(stats());
}

} // namespace syscon_sim
