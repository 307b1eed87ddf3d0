// The SYSCON's two NOR flash devices and the ROM areas on them.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace syscon_sim {

inline constexpr uint32_t kDeviceSize = 0x200000; // 2 MiB each
inline constexpr int kDeviceCount = 2;

struct Area {
    std::string_view name;
    int device;
    uint32_t start;
    uint32_t size;
};

inline constexpr Area kApliArea{"apli", 0, 0x000000, 0x1E8000};
inline constexpr Area kIplArea{"ipl", 0, 0x1E8000, 0x018000};
inline constexpr Area kFontArea{"font", 1, 0x100000, 0x060000};

// The three ROM areas, and "dev0"/"dev1" for whole devices; nullptr if unknown.
const Area *find_area(std::string_view name);

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
