// SPDX-License-Identifier: GPL-3.0-or-later
// Little-endian fields of the byte streams and file headers SDR programs and sound files write.
#pragma once

#include <cstdint>

namespace sondeco {

inline std::uint16_t littleEndian16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

inline std::uint32_t littleEndian32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
           static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace sondeco
