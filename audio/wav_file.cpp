#include "audio/wav_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace sondeco {
namespace {

constexpr int WaveFormatPcm = 1;
constexpr int WaveFormatExtensible = 0xFFFE;

std::uint32_t readLe32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
           static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t readLe16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void putLe32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void putLe16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

bool readExactly(std::FILE* file, void* buffer, std::size_t bytes) { return std::fread(buffer, 1, bytes, file) == bytes; }

// Skips forward without seeking, so that a pipe works as well as a file.
bool skipBytes(std::FILE* file, std::uint64_t bytes) {
    std::array<unsigned char, 4096> scratch{};
    while (bytes > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, scratch.size()));
        if (!readExactly(file, scratch.data(), chunk)) return false;
        bytes -= chunk;
    }
    return true;
}

}  // namespace

WavReader::~WavReader() { close(); }

void WavReader::close() {
    if (file_ != nullptr && owned_) std::fclose(file_);
    file_ = nullptr;
    owned_ = false;
}

bool WavReader::fail(std::string& error, std::string message) {
    error = std::move(message);
    close();
    return false;
}

bool WavReader::open(const std::string& path, std::string& error) {
    close();
    if (path == "-") return openStream(stdin, false, error);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return fail(error, std::string("cannot be opened: ") + std::strerror(errno));
    return openStream(file, true, error);
}

bool WavReader::openStream(std::FILE* stream, bool owned, std::string& error) {
    close();
    file_ = stream;
    owned_ = owned;
    info_ = WavInfo{};
    truncated_ = false;

    unsigned char riff[12];
    if (!readExactly(file_, riff, sizeof riff)) return fail(error, "is not a WAV file (it is shorter than a WAV header)");
    if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return fail(error, "is not a WAV file (no RIFF/WAVE header)");

    bool haveFormat = false;
    int formatTag = 0;
    for (;;) {
        unsigned char chunk[8];
        if (!readExactly(file_, chunk, sizeof chunk))
            return fail(error, haveFormat ? "holds no audio data (no data chunk)" : "is not a usable WAV file (no fmt chunk)");
        const std::uint32_t size = readLe32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || size > 1024) return fail(error, "is not a usable WAV file (bad fmt chunk)");
            std::vector<unsigned char> format(size + (size & 1u));
            if (!readExactly(file_, format.data(), format.size()))
                return fail(error, "is not a usable WAV file (its fmt chunk is cut short)");
            formatTag = readLe16(format.data());
            info_.channels = readLe16(format.data() + 2);
            info_.sampleRate = static_cast<int>(readLe32(format.data() + 4));
            info_.bitsPerSample = readLe16(format.data() + 14);
            if (formatTag == WaveFormatExtensible && size >= 40) formatTag = readLe16(format.data() + 24);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return fail(error, "is not a usable WAV file (data before the fmt chunk)");
            info_.dataBytes = size;
            info_.dataSizeKnown = size != 0 && size != 0xFFFFFFFFu;
            break;
        } else if (!skipBytes(file_, static_cast<std::uint64_t>(size) + (size & 1u))) {
            return fail(error, "holds no audio data (no data chunk)");
        }
    }

    if (formatTag != WaveFormatPcm || info_.bitsPerSample != 16)
        return fail(error, "is not 16-bit PCM (format " + std::to_string(formatTag) + ", " + std::to_string(info_.bitsPerSample) +
                               " bits per sample)");
    if (info_.channels < 1) return fail(error, "is not a usable WAV file (it has no channels)");
    if (info_.sampleRate != 48000) return fail(error, "is sampled at " + std::to_string(info_.sampleRate) + " Hz, not 48000 Hz");

    dataStart_ = std::ftell(file_);
    bytesLeft_ = info_.dataSizeKnown ? info_.dataBytes : std::numeric_limits<std::uint64_t>::max();
    return true;
}

std::size_t WavReader::readFrames(std::int16_t* destination, std::size_t frames) {
    if (file_ == nullptr || frames == 0) return 0;
    const std::size_t frameBytes = static_cast<std::size_t>(info_.channels) * 2;
    const std::uint64_t framesLeft = bytesLeft_ / frameBytes;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(frames, framesLeft));
    if (want == 0) return 0;
    std::size_t got = std::fread(destination, frameBytes, want, file_);
    if (got < want && info_.dataSizeKnown) truncated_ = true;
    bytesLeft_ -= static_cast<std::uint64_t>(got) * frameBytes;
    // WAV is little-endian; convert in place on a big-endian host.
    if constexpr (std::endian::native == std::endian::big) {
        auto* bytes = reinterpret_cast<unsigned char*>(destination);
        for (std::size_t i = 0; i < got * static_cast<std::size_t>(info_.channels); ++i)
            destination[i] = static_cast<std::int16_t>(readLe16(bytes + 2 * i));
    }
    return got;
}

bool WavReader::rewind() {
    if (file_ == nullptr || dataStart_ < 0) return false;
    if (std::fseek(file_, dataStart_, SEEK_SET) != 0) return false;
    bytesLeft_ = info_.dataSizeKnown ? info_.dataBytes : std::numeric_limits<std::uint64_t>::max();
    return true;
}

WavWriter::~WavWriter() {
    std::string ignored;
    close(ignored);
}

bool WavWriter::open(const std::string& path, int channels, int sampleRate, std::string& error) {
    std::string ignored;
    close(ignored);
    // The header holds the frame size in 16 bits and the byte rate in 32. A format that does not fit
    // would make a header that every other program misreads, so it is refused before a file is made.
    const std::uint64_t byteRate = channels > 0 && sampleRate > 0
                                       ? std::uint64_t{2} * static_cast<std::uint64_t>(channels) * static_cast<std::uint64_t>(sampleRate)
                                       : 0;
    if (channels < 1 || channels > 0xFFFF / 2 || sampleRate < 1 || byteRate > 0xFFFFFFFFu) {
        error =
            "cannot be written: " + std::to_string(channels) + " channels at " + std::to_string(sampleRate) + " Hz do not fit a WAV header";
        return false;
    }
    file_ = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error = std::string("cannot be written: ") + std::strerror(errno);
        return false;
    }
    channels_ = channels;
    dataBytes_ = 0;
    failed_ = false;
    unsigned char header[44] = {};
    std::memcpy(header, "RIFF", 4);
    putLe32(header + 4, 36);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    putLe32(header + 16, 16);
    putLe16(header + 20, WaveFormatPcm);
    putLe16(header + 22, static_cast<std::uint16_t>(channels));
    putLe32(header + 24, static_cast<std::uint32_t>(sampleRate));
    putLe32(header + 28, static_cast<std::uint32_t>(byteRate));
    putLe16(header + 32, static_cast<std::uint16_t>(channels * 2));
    putLe16(header + 34, 16);
    std::memcpy(header + 36, "data", 4);
    putLe32(header + 40, 0);
    failed_ = std::fwrite(header, 1, sizeof header, file_) != sizeof header;
    if (failed_) error = std::string("cannot be written: ") + std::strerror(errno);
    return !failed_;
}

bool WavWriter::writeFrames(const std::int16_t* interleaved, std::size_t frames) {
    if (file_ == nullptr || failed_) return false;
    const std::size_t values = frames * static_cast<std::size_t>(channels_);
    std::vector<unsigned char> bytes(values * 2);
    for (std::size_t i = 0; i < values; ++i) putLe16(bytes.data() + 2 * i, static_cast<std::uint16_t>(interleaved[i]));
    failed_ = std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size();
    dataBytes_ += bytes.size();
    return !failed_;
}

bool WavWriter::close(std::string& error) {
    if (file_ == nullptr) return true;
    bool ok = !failed_;
    if (ok && dataBytes_ <= 0xFFFFFFFFu - 36 && std::fseek(file_, 4, SEEK_SET) == 0) {
        unsigned char size[4];
        putLe32(size, static_cast<std::uint32_t>(36 + dataBytes_));
        ok = std::fwrite(size, 1, 4, file_) == 4;
        putLe32(size, static_cast<std::uint32_t>(dataBytes_));
        ok = ok && std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    }
    // A pipe cannot seek: the header keeps size 0, which readers take as "until the end".
    if (file_ == stdout) {
        ok = std::fflush(stdout) == 0 && ok;
    } else {
        ok = std::fclose(file_) == 0 && ok;
    }
    file_ = nullptr;
    if (!ok) error = std::string("cannot be written: ") + std::strerror(errno);
    return ok;
}

}  // namespace sondeco
