#include "rtcm/rtcm_frame.h"

#include <cstdio>

namespace sondeco {

int getBits(std::span<const std::uint8_t> bits, int start, int width) {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
        const long position = static_cast<long>(start) + i;
        const bool inside = position >= 0 && static_cast<std::size_t>(position) < bits.size();
        value = value << 1 | (inside ? (bits[static_cast<std::size_t>(position)] & 1u) : 0u);
    }
    return static_cast<int>(value);
}

int getSignedBits(std::span<const std::uint8_t> bits, int start, int width) {
    const int value = getBits(bits, start, width);
    if (width <= 0 || width >= 32) return value;
    const std::int64_t half = std::int64_t{1} << (width - 1);
    return value >= half ? static_cast<int>(value - 2 * half) : value;
}

std::string formatZCount(int zCount) {
    if (zCount > 6000) return "N/A";
    const int tenths = 6 * zCount;
    const int seconds = tenths / 10;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d.%d", seconds / 60, seconds % 60, tenths % 10);
    return text;
}

}  // namespace sondeco
