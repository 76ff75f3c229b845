// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/raw_stream.h"

#include "audio/byte_order.h"

#include <array>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <sys/stat.h>

namespace sondeco {
namespace {

// The nearest integer to `value` within low..high; not a number gives the middle.
long clampedCode(double value, long low, long high) {
    if (std::isnan(value)) return (low + high + 1) / 2;
    return static_cast<long>(std::clamp(std::round(value), static_cast<double>(low), static_cast<double>(high)));
}

void putLittleEndian16(unsigned char* p, std::uint16_t value) {
    p[0] = static_cast<unsigned char>(value & 0xFF);
    p[1] = static_cast<unsigned char>(value >> 8);
}

void putLittleEndian32(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

namespace {

constexpr std::array<RawSampleFormat, 4> RawSampleFormats{RawSampleFormat::S16, RawSampleFormat::S32, RawSampleFormat::F32,
                                                          RawSampleFormat::U8};
constexpr std::array<IqFormat, 4> IqFormats{IqFormat::Cu8, IqFormat::Cs8, IqFormat::Cs16, IqFormat::Cf32};

// The position of `name` in `names`, whose order is that of the formats' list.
template <typename Format, std::size_t Count>
std::optional<Format> named(const std::array<Format, Count>& formats, const std::vector<std::string>& names, std::string_view name) {
    for (std::size_t i = 0; i < Count; ++i)
        if (names[i] == name) return formats[i];
    return std::nullopt;
}

}  // namespace

const std::vector<std::string>& rawSampleFormatNames() {
    static const std::vector<std::string> names{"s16", "s32", "f32", "u8"};
    return names;
}

std::optional<RawSampleFormat> rawSampleFormatNamed(std::string_view name) { return named(RawSampleFormats, rawSampleFormatNames(), name); }

const std::string& nameOf(RawSampleFormat format) {
    return rawSampleFormatNames()[static_cast<std::size_t>(std::find(RawSampleFormats.begin(), RawSampleFormats.end(), format) -
                                                           RawSampleFormats.begin())];
}

int bytesPerSample(RawSampleFormat format) {
    switch (format) {
        case RawSampleFormat::S16:
            return 2;
        case RawSampleFormat::S32:
            return 4;
        case RawSampleFormat::F32:
            return 4;
        case RawSampleFormat::U8:
            return 1;
    }
    return 1;
}

void decodeRawSamples(RawSampleFormat format, const unsigned char* bytes, std::size_t count, double* samples) {
    for (std::size_t i = 0; i < count; ++i) {
        switch (format) {
            case RawSampleFormat::S16:
                samples[i] = static_cast<std::int16_t>(littleEndian16(bytes + 2 * i)) / 32768.0;
                break;
            case RawSampleFormat::S32:
                samples[i] = static_cast<std::int32_t>(littleEndian32(bytes + 4 * i)) / 2147483648.0;
                break;
            case RawSampleFormat::F32:
                samples[i] = std::bit_cast<float>(littleEndian32(bytes + 4 * i));
                break;
            case RawSampleFormat::U8:
                samples[i] = (bytes[i] - 128) / 128.0;
                break;
        }
    }
}

const std::vector<std::string>& iqFormatNames() {
    static const std::vector<std::string> names{"cu8", "cs8", "cs16", "cf32"};
    return names;
}

std::optional<IqFormat> iqFormatNamed(std::string_view name) { return named(IqFormats, iqFormatNames(), name); }

int bytesPerIqSample(IqFormat format) {
    switch (format) {
        case IqFormat::Cu8:
            return 2;
        case IqFormat::Cs8:
            return 2;
        case IqFormat::Cs16:
            return 4;
        case IqFormat::Cf32:
            return 8;
    }
    return 2;
}

void decodeIqSamples(IqFormat format, const unsigned char* bytes, std::size_t count, std::complex<float>* samples) {
    for (std::size_t i = 0; i < count; ++i) {
        switch (format) {
            case IqFormat::Cu8:
                // The RTL2832's converter has no code for zero: 127.5 is the middle of its range.
                samples[i] = {(bytes[2 * i] - 127.5f) / 127.5f, (bytes[2 * i + 1] - 127.5f) / 127.5f};
                break;
            case IqFormat::Cs8:
                samples[i] = {static_cast<std::int8_t>(bytes[2 * i]) / 128.0f, static_cast<std::int8_t>(bytes[2 * i + 1]) / 128.0f};
                break;
            case IqFormat::Cs16:
                samples[i] = {static_cast<std::int16_t>(littleEndian16(bytes + 4 * i)) / 32768.0f,
                              static_cast<std::int16_t>(littleEndian16(bytes + 4 * i + 2)) / 32768.0f};
                break;
            case IqFormat::Cf32:
                samples[i] = {std::bit_cast<float>(littleEndian32(bytes + 8 * i)), std::bit_cast<float>(littleEndian32(bytes + 8 * i + 4))};
                break;
        }
    }
}

void encodeIqSamples(IqFormat format, const std::complex<float>* samples, std::size_t count, unsigned char* bytes) {
    for (std::size_t i = 0; i < count; ++i) {
        const double components[2] = {samples[i].real(), samples[i].imag()};
        for (std::size_t c = 0; c < 2; ++c) {
            const double value = components[c];
            switch (format) {
                case IqFormat::Cu8:
                    bytes[2 * i + c] = static_cast<unsigned char>(clampedCode(value * 127.5 + 127.5, 0, 255));
                    break;
                case IqFormat::Cs8:
                    bytes[2 * i + c] = static_cast<unsigned char>(static_cast<std::int8_t>(clampedCode(value * 128.0, -128, 127)));
                    break;
                case IqFormat::Cs16:
                    putLittleEndian16(bytes + 4 * i + 2 * c,
                                      static_cast<std::uint16_t>(static_cast<std::int16_t>(clampedCode(value * 32768.0, -32768, 32767))));
                    break;
                case IqFormat::Cf32:
                    putLittleEndian32(bytes + 8 * i + 4 * c, std::bit_cast<std::uint32_t>(static_cast<float>(value)));
                    break;
            }
        }
    }
}

RawFrameReader::~RawFrameReader() { close(); }

void RawFrameReader::close() {
    if (file_ != nullptr && owned_) std::fclose(file_);
    file_ = nullptr;
    owned_ = false;
}

bool RawFrameReader::open(const std::string& path, std::size_t frameBytes, std::string frameName, std::string& error) {
    close();
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    // A file with nothing in it is a mistake worth a word, as an empty sound file is; an empty pipe
    // may just be a program upstream that had nothing to say.
    struct stat status {};
    if (::fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= std::ftell(file)) {
        if (file != stdin) std::fclose(file);
        error = "is empty";
        return false;
    }
    openStream(file, file != stdin, frameBytes, std::move(frameName));
    return true;
}

void RawFrameReader::openStream(std::FILE* stream, bool owned, std::size_t frameBytes, std::string frameName) {
    close();
    file_ = stream;
    owned_ = owned;
    frameBytes_ = frameBytes > 0 ? frameBytes : 1;
    frameName_ = std::move(frameName);
    framesRead_ = 0;
    ended_ = false;
    error_.clear();
}

std::size_t RawFrameReader::readFrames(std::size_t frames, const unsigned char*& bytes) {
    bytes = buffer_.data();
    if (file_ == nullptr || ended_ || frames == 0) return 0;
    buffer_.resize(frames * frameBytes_);
    bytes = buffer_.data();
    // fread waits for the whole request on a pipe; it comes back short only at the end or on an error.
    errno = 0;
    const std::size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    const std::size_t left = got % frameBytes_;
    if (got < buffer_.size()) {
        ended_ = true;
        if (std::ferror(file_) != 0) {
            error_ = std::string("cannot be read: ") + std::strerror(errno != 0 ? errno : EIO);
        } else if (left > 0) {
            error_ = "ends with " + std::to_string(left) + (left == 1 ? " byte" : " bytes") + ", less than a whole " + frameName_ +
                     "; the audio before " + (left == 1 ? "it" : "them") + " is decoded";
        }
    }
    const std::size_t whole = got / frameBytes_;
    framesRead_ += whole;
    return whole;
}

}  // namespace sondeco
