#include "flash.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

namespace syscon_sim {

namespace {
constexpr Area kDevices[kDeviceCount] = {{"dev0", 0, 0, kDeviceSize, "", "", ""},
                                         {"dev1", 1, 0, kDeviceSize, "", "", ""}};
} // namespace

const Area *find_rom_area(std::string_view name) {
    for (const Area &a : kRomAreas)
        if (a.name == name)
            return &a;
    return nullptr;
}

const Area *find_area(std::string_view name) {
    if (const Area *a = find_rom_area(name))
        return a;
    for (const Area &a : kDevices)
        if (a.name == name)
            return &a;
    return nullptr;
}

std::string area_names(bool devices, std::string_view last) {
    std::vector<const Area *> list;
    for (const Area &a : kRomAreas)
        list.push_back(&a);
    std::ranges::sort(list, {}, [](const Area *a) { return std::pair(a->device, a->start); });
    if (devices)
        for (const Area &a : kDevices)
            list.push_back(&a);
    std::string names;
    for (const Area *a : list) {
        if (!names.empty())
            names += a == list.back() ? last : ", ";
        names += a->name;
    }
    return names;
}

uint16_t sum16(std::span<const uint8_t> bytes) {
    return static_cast<uint16_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

Flash::Flash() {
    for (auto &d : devices_)
        d.assign(kDeviceSize, 0xFF);
}

bool Flash::contains(int device, uint64_t addr, uint64_t len) {
    return device >= 0 && device < kDeviceCount && addr <= kDeviceSize && len <= kDeviceSize - addr;
}

std::span<const uint8_t> Flash::range(int device, uint64_t addr, uint64_t len) const {
    if (!contains(device, addr, len))
        throw std::out_of_range("flash range outside device " + std::to_string(device));
    return std::span<const uint8_t>(devices_[device]).subspan(addr, len);
}

std::span<uint8_t> Flash::range(int device, uint64_t addr, uint64_t len) {
    const auto r = std::as_const(*this).range(device, addr, len);
    return {const_cast<uint8_t *>(r.data()), r.size()};
}

void Flash::erase(int device, uint32_t addr, uint32_t len) {
    std::ranges::fill(range(device, addr, len), uint8_t{0xFF});
}

uint32_t Flash::program(int device, uint32_t addr, std::span<const uint8_t> bytes) {
    const auto cells = range(device, addr, bytes.size());
    uint32_t unerased = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (cells[i] != 0xFF)
            ++unerased;
        cells[i] &= bytes[i];
    }
    return unerased;
}

void Flash::store(int device, uint32_t addr, std::span<const uint8_t> bytes) {
    std::ranges::copy(bytes, range(device, addr, bytes.size()).begin());
}

std::vector<uint8_t> Flash::read(int device, uint32_t addr, uint32_t len) const {
    const auto r = range(device, addr, len);
    return {r.begin(), r.end()};
}

void Flash::fill(int device, uint8_t value) {
    std::ranges::fill(range(device, 0, kDeviceSize), value);
}

uint16_t Flash::sum(const Area &area) const {
    return sum16(range(area.device, area.start, area.size));
}

} // namespace syscon_sim
