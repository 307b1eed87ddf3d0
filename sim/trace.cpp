#include "trace.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace syscon_sim {

Trace::Trace(const std::string &path) {
    if (path.empty())
        return;
    if (path == "-") {
        file_ = stderr;
        return;
    }
    file_ = std::fopen(path.c_str(), "w");
    if (!file_)
        throw std::system_error(errno, std::generic_category(), "cannot open trace " + path);
}

Trace::~Trace() {
    if (file_ && file_ != stderr)
        std::fclose(file_);
}

void Trace::write(Clock::time_point when, std::string_view tag, std::string_view text) {
    if (!file_)
        return;
    const double ms = std::chrono::duration<double, std::milli>(when - start_).count();
    std::lock_guard lock(mutex_);
    std::fprintf(file_, "%10.3f ms  %-7.*s %.*s\n", ms, static_cast<int>(tag.size()), tag.data(),
                 static_cast<int>(text.size()), text.data());
    std::fflush(file_);
}

std::string hex_bytes(std::span<const uint8_t> bytes) {
    auto append = [](std::string &s, std::span<const uint8_t> part) {
        char b[4];
        for (uint8_t v : part) {
            std::snprintf(b, sizeof b, s.empty() ? "%02X" : " %02X", v);
            s += b;
        }
    };
    std::string s;
    if (bytes.size() <= 40) {
        append(s, bytes);
        return s;
    }
    append(s, bytes.first(16));
    s += " ... (" + std::to_string(bytes.size() - 24) + " bytes) ...";
    append(s, bytes.last(8));
    return s;
}

} // namespace syscon_sim
