// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/container_layout.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sondeco {
namespace {

std::uint64_t readNumber(std::string_view bytes, std::size_t at, int width, bool bigEndian) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(bigEndian ? i : width - 1 - i)]);
        value = value << 8 | byte;
    }
    return value;
}

// Wave64 names its chunks by GUIDs: the standard chunks' end in these twelve bytes, after the four
// letters of their name; "riff" and "list" end in another family's eleven, after one varying byte.
constexpr std::array<unsigned char, 12> Wave64Suffix{0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr std::array<unsigned char, 11> Wave64ListSuffix{0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};

bool hasBytes(std::string_view bytes, std::size_t at, const unsigned char* expected, std::size_t count) {
    return bytes.size() >= at + count && std::memcmp(bytes.data() + at, expected, count) == 0;
}

bool isWave64Guid(std::string_view bytes, std::string_view name) {
    return bytes.size() >= 16 && bytes.substr(0, 4) == name && hasBytes(bytes, 4, Wave64Suffix.data(), Wave64Suffix.size());
}

// The characters chunk identifiers are made of.
bool identifierCharacters(std::string_view bytes) {
    if (bytes.size() < 4) return false;
    return std::all_of(bytes.begin(), bytes.begin() + 4, [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == ' ' || c == '_';
    });
}

// Where the encodings whose frames are a fixed number of bytes are named, in WAVE_FORMAT numbers.
bool plainEncoding(unsigned tag) { return tag == 1 || tag == 3 || tag == 6 || tag == 7; }

struct Format {
    bool found = false;
    unsigned tag = 0;
    int blockAlign = 0;
    std::uint32_t byteRate = 0;
};

// The fmt chunk's body at `at`, `size` bytes long; false when more bytes are needed.
bool readFormat(std::string_view bytes, std::size_t at, std::uint64_t size, bool bigEndian, Format& format, std::size_t& more) {
    const std::size_t wanted = at + static_cast<std::size_t>(std::min<std::uint64_t>(size, 26));
    if (size >= 16 && bytes.size() < wanted) {
        more = wanted;
        return false;
    }
    if (size < 16) return true;  // not a format libsndfile would take either: left to it
    format.found = true;
    format.tag = static_cast<unsigned>(readNumber(bytes, at, 2, bigEndian));
    format.byteRate = static_cast<std::uint32_t>(readNumber(bytes, at + 8, 4, bigEndian));
    format.blockAlign = static_cast<int>(readNumber(bytes, at + 12, 2, bigEndian));
    if (format.tag == 0xFFFE && size >= 26) format.tag = static_cast<unsigned>(readNumber(bytes, at + 24, 2, bigEndian));
    return true;
}

bool placeholderSize(std::uint64_t bytes, int width) {
    if (width == 8) return bytes >= (std::uint64_t{1} << 62);
    return (bytes >= 0x7FFF0000 && bytes <= 0x80000000ULL) || (bytes >= 0xFFFF0000ULL && bytes <= 0xFFFFFFFFULL);
}

std::optional<RiffLayout> finish(RiffLayout layout, const Format& format) {
    if (!format.found || format.blockAlign <= 0) return std::nullopt;
    layout.blockAlign = format.blockAlign;
    layout.byteRate = format.byteRate;
    layout.plainSamples = plainEncoding(format.tag);
    layout.placeholder = placeholderSize(layout.statedBytes, layout.sizeWidth);
    return layout;
}

std::optional<RiffLayout> findWavLayout(std::string_view bytes, RiffLayout layout, std::size_t& more) {
    Format format;
    std::optional<std::size_t> ds64Size;  // where an RF64 file's ds64 chunk keeps the data size
    std::uint64_t offset = 12;
    for (;;) {
        if (bytes.size() < offset + 8) {
            more = static_cast<std::size_t>(offset + 8);
            return std::nullopt;
        }
        const auto at = static_cast<std::size_t>(offset);
        const std::string_view id = bytes.substr(at, 4);
        const std::uint64_t size = readNumber(bytes, at + 4, 4, layout.bigEndian);
        const std::size_t body = at + 8;
        if (id == "fmt " && !readFormat(bytes, body, size, layout.bigEndian, format, more)) return std::nullopt;
        if (id == "ds64" && layout.kind == RiffLayout::Kind::Rf64) {
            if (bytes.size() < body + 16) {
                more = body + 16;
                return std::nullopt;
            }
            ds64Size = body + 8;
        }
        if (id == "data") {
            layout.dataStart = body;
            if (layout.kind == RiffLayout::Kind::Rf64 && size == 0xFFFFFFFF && ds64Size) {
                layout.sizeOffset = *ds64Size;
                layout.sizeWidth = 8;
                layout.statedBytes = readNumber(bytes, *ds64Size, 8, false);
            } else {
                layout.sizeOffset = at + 4;
                layout.sizeWidth = 4;
                layout.statedBytes = size;
            }
            more = 0;
            return finish(layout, format);
        }
        offset = body + size + (size & 1);
    }
}

std::optional<RiffLayout> findWave64Layout(std::string_view bytes, std::size_t& more) {
    RiffLayout layout;
    layout.kind = RiffLayout::Kind::Wave64;
    Format format;
    std::uint64_t offset = 40;
    for (;;) {
        if (bytes.size() < offset + 24) {
            more = static_cast<std::size_t>(offset + 24);
            return std::nullopt;
        }
        const auto at = static_cast<std::size_t>(offset);
        const std::uint64_t size = readNumber(bytes, at + 16, 8, false);  // the chunk's own 24 bytes included
        if (size < 24 || size > (std::uint64_t{1} << 62)) {
            more = 0;
            return std::nullopt;
        }
        const std::size_t body = at + 24;
        if (isWave64Guid(bytes.substr(at), "fmt ") && !readFormat(bytes, body, size - 24, false, format, more)) return std::nullopt;
        if (isWave64Guid(bytes.substr(at), "data")) {
            layout.dataStart = body;
            layout.sizeOffset = at + 16;
            layout.sizeWidth = 8;
            layout.statedBytes = size - 24;
            more = 0;
            return finish(layout, format);
        }
        offset += (size + 7) & ~std::uint64_t{7};
    }
}

}  // namespace

std::uint64_t RiffLayout::chunkAfter(std::uint64_t bytes) const {
    if (kind == Kind::Wave64) return dataStart - 24 + (((bytes + 24) + 7) & ~std::uint64_t{7});
    return dataStart + bytes + (bytes & 1);
}

std::string RiffLayout::sizeField(std::uint64_t bytes) const {
    const std::uint64_t value = kind == Kind::Wave64 ? bytes + 24 : bytes;
    std::string field(static_cast<std::size_t>(sizeWidth), '\0');
    for (int i = 0; i < sizeWidth; ++i) {
        const int shift = 8 * (bigEndian ? sizeWidth - 1 - i : i);
        field[static_cast<std::size_t>(i)] = static_cast<char>((value >> shift) & 0xFF);
    }
    return field;
}

std::uint64_t RiffLayout::unknownSize() const { return sizeWidth == 4 ? 0xFFFFFFFFULL : std::uint64_t{1} << 62; }

std::optional<RiffLayout> findRiffLayout(std::string_view start, std::size_t& more) {
    more = 0;
    constexpr std::array<unsigned char, 4> Wave64Riff{'r', 'i', 'f', 'f'};
    const std::size_t known = std::min<std::size_t>(start.size(), 4);
    const bool wave64 = hasBytes(start.substr(0, known), 0, Wave64Riff.data(), known);
    const bool wav = known > 0 && (std::string_view("RIFF").starts_with(start.substr(0, known)) ||
                                   std::string_view("RIFX").starts_with(start.substr(0, known)) ||
                                   std::string_view("RF64").starts_with(start.substr(0, known)));
    if (!wave64 && !wav) return std::nullopt;
    if (wave64) {
        if (start.size() < 40) {
            more = 40;
            return std::nullopt;
        }
        if (!hasBytes(start, 5, Wave64ListSuffix.data(), Wave64ListSuffix.size()) || !isWave64Guid(start.substr(24), "wave"))
            return std::nullopt;
        return findWave64Layout(start, more);
    }
    if (start.size() < 12) {
        more = 12;
        return std::nullopt;
    }
    if (start.substr(8, 4) != "WAVE") return std::nullopt;
    RiffLayout layout;
    layout.kind = start.substr(0, 4) == "RF64" ? RiffLayout::Kind::Rf64 : RiffLayout::Kind::Wav;
    layout.bigEndian = start.substr(0, 4) == "RIFX";
    return findWavLayout(start, layout, more);
}

bool looksLikeChunk(std::string_view bytes, RiffLayout::Kind kind) {
    if (!identifierCharacters(bytes)) return false;
    if (kind != RiffLayout::Kind::Wave64) return bytes.size() >= 8;
    return hasBytes(bytes, 4, Wave64Suffix.data(), Wave64Suffix.size()) ||
           hasBytes(bytes, 5, Wave64ListSuffix.data(), Wave64ListSuffix.size());
}

std::optional<bool> oggFileEndsWhole(const std::function<std::string(std::uint64_t, std::size_t)>& bytesAt, std::uint64_t length) {
    std::uint64_t at = 0;
    bool ends = false;
    while (at < length) {
        const std::string header = bytesAt(at, 27);
        if (header.size() < 27) return false;  // a page header cut off
        if (header.compare(0, 4, "OggS") != 0 || header[4] != 0) return std::nullopt;
        ends = (static_cast<unsigned char>(header[5]) & 0x04) != 0;
        const auto segments = static_cast<unsigned char>(header[26]);
        const std::string lacing = bytesAt(at + 27, segments);
        if (lacing.size() < segments) return false;
        std::uint64_t body = 0;
        for (const char size : lacing) body += static_cast<unsigned char>(size);
        at += 27 + segments + body;
    }
    return at == length && ends;
}

void OggPageWalker::feed(const char* bytes, std::size_t count) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    while (count > 0 && !lost_) {
        switch (state_) {
            case State::Header: {
                const std::size_t n = std::min(count, HeaderBytes - filled_);
                std::memcpy(header_ + filled_, p, n);
                filled_ += n;
                p += n;
                count -= n;
                if (filled_ < HeaderBytes) break;
                if (std::memcmp(header_, "OggS", 4) != 0 || header_[4] != 0) {
                    lost_ = true;
                    break;
                }
                sawPage_ = true;
                lastEnds_ = (header_[5] & 0x04) != 0;
                segments_ = header_[26];
                filled_ = 0;
                bodyLeft_ = 0;
                if (segments_ > 0) state_ = State::Segments;
                break;
            }
            case State::Segments:
                bodyLeft_ += *p++;
                --count;
                if (++filled_ == segments_) {
                    filled_ = 0;
                    state_ = bodyLeft_ > 0 ? State::Body : State::Header;
                }
                break;
            case State::Body: {
                const std::size_t n = std::min(count, bodyLeft_);
                p += n;
                count -= n;
                bodyLeft_ -= n;
                if (bodyLeft_ == 0) state_ = State::Header;
                break;
            }
        }
    }
}

}  // namespace sondeco
