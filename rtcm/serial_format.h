// SPDX-License-Identifier: GPL-3.0-or-later
// The RTCM SC-104 "6 of 8" serial byte format that GPS receivers, gpsd and RTKLIB speak: every byte
// 0x40..0x7F carries six transmitted bits, the first transmitted in the least significant place.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace sondeco {

// The six bits of a data byte in transmission order, the first in bit 5: the byte's six low bits
// mirrored.
constexpr std::uint32_t serialBitsInOrder(unsigned char byte) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 6; ++i) bits = bits << 1 | (static_cast<std::uint32_t>(byte) >> i & 1u);
    return bits;
}

// Reads a recorded serial stream piece by piece (a file or a pipe). Collectors annotate captures with
// lines starting with '#', whose letters would pass for data bytes: such a line is skipped to its end.
// A '#' elsewhere is an ordinary non-data byte.
class SerialCaptureReader {
public:
    template <typename BitHandler>
    void feed(std::string_view bytes, BitHandler&& bitHandler) {
        feedBytes(bytes, [&bitHandler](std::uint32_t bits) {
            for (int i = 5; i >= 0; --i) bitHandler(static_cast<std::uint8_t>(bits >> i & 1u));
        });
    }

    // The same, six bits at a time: `sixBitsHandler(bits)` for each data byte, the first transmitted
    // bit in bit 5.
    template <typename SixBitsHandler>
    void feedBytes(std::string_view bytes, SixBitsHandler&& sixBitsHandler) {
        static constexpr auto InOrder = [] {
            std::array<std::uint8_t, 64> table{};
            for (unsigned byte = 0; byte < 64; ++byte)
                table[byte] = static_cast<std::uint8_t>(serialBitsInOrder(static_cast<unsigned char>(byte)));
            return table;
        }();
        for (const char character : bytes) {
            const auto byte = static_cast<unsigned char>(character);
            if (byte == '\n') {
                lineStart_ = true;
                comment_ = false;
                continue;
            }
            if (lineStart_ && byte == '#') comment_ = true;
            lineStart_ = false;
            if (!comment_ && byte >= 0x40 && byte <= 0x7F) sixBitsHandler(static_cast<std::uint32_t>(InOrder[byte & 0x3Fu]));
        }
    }

private:
    bool lineStart_ = true;
    bool comment_ = false;
};

// Packs transmitted bits into serial bytes. Whole 30-bit words make whole bytes (five a word).
class SerialWriter {
public:
    void pushBit(std::uint8_t bit) {
        pending_ |= static_cast<unsigned>(bit & 1u) << count_;
        if (++count_ == 6) {
            bytes_.push_back(static_cast<char>(0x40 | pending_));
            pending_ = 0;
            count_ = 0;
        }
    }
    // Takes the finished bytes, leaving any partial byte in place.
    std::string takeBytes() { return std::exchange(bytes_, std::string()); }

private:
    std::string bytes_;
    unsigned pending_ = 0;
    int count_ = 0;
};

}  // namespace sondeco
