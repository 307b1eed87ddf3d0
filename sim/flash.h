// The SYSCON's two NOR flash devices and the ROM areas on them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace syscon_sim {

inline constexpr uint32_t kDeviceSize = 0x200000; // 2 MiB each
inline constexpr int kDeviceCount = 2;

// A stretch of flash: a ROM area, with the commands that ask its version
// text and its checksum and the version text it answers by default, or a
// whole device (no commands).
struct Area {
    std::string_view name;
    int device;
    uint32_t start;
    uint32_t size;
    std::string_view version_cmd; // "" for a whole device
    std::string_view sum_cmd;
    std::string_view version; // at most 12 bytes; Config::version_texts may replace it
};

// The ROM areas, one row each; everything else about the areas is read from
// here. Rows in the order of the device's command set (IRV ARV FRV, then
// ISM ASM FSM), in which the summary lists the requests.
inline constexpr Area kRomAreas[] = {
    {"ipl", 0, 0x1E8000, 0x018000, "IRV", "ISM", "IPL-01.00.00"},
    {"apli", 0, 0x000000, 0x1E8000, "ARV", "ASM", "APLI-1.00.00"},
    {"font", 1, 0x100000, 0x060000, "FRV", "FSM", "FONT-1.00.00"},
};
static_assert(std::ranges::all_of(kRomAreas, [](const Area &a) {
    return a.version_cmd.size() == 3 && a.sum_cmd.size() == 3 && a.version.size() <= 12;
}));

// A ROM area; nullptr if unknown.
const Area *find_rom_area(std::string_view name);
// A ROM area, or "dev0"/"dev1" for a whole device; nullptr if unknown.
const Area *find_area(std::string_view name);

// The ROM areas' names in flash order, then "dev0" and "dev1" when
// `devices`, separated by ", " and by `last` before the last one.
std::string area_names(bool devices, std::string_view last = ", ");

uint16_t sum16(std::span<const uint8_t> bytes);

class Flash {
  public:
    Flash(); // everything erased

    static bool contains(int device, uint64_t addr, uint64_t len);

    void erase(int device, uint32_t addr, uint32_t len);
    // NOR programming: each byte becomes old AND new. Returns how many of the
    // bytes were not erased (not 0xFF) before.
    uint32_t program(int device, uint32_t addr, std::span<const uint8_t> bytes);
    void store(int device, uint32_t addr, std::span<const uint8_t> bytes); // as they are
    std::vector<uint8_t> read(int device, uint32_t addr, uint32_t len) const;
    void fill(int device, uint8_t value);
    uint16_t sum(const Area &area) const;

  private:
    std::span<uint8_t> range(int device, uint64_t addr, uint64_t len);
    std::span<const uint8_t> range(int device, uint64_t addr, uint64_t len) const;

    std::array<std::vector<uint8_t>, kDeviceCount> devices_;
};

} // namespace syscon_sim
