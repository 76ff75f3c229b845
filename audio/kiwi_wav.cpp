// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/kiwi_wav.h"

#include "audio/byte_order.h"
#include "audio/container_layout.h"
#include "audio/raw_stream.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <utility>

namespace sondeco {
namespace {

constexpr double SecondsPerWeek = 7 * 24 * 3600.0;
constexpr std::size_t KiwiChunkBytes = 10;  // since-fix, a spare byte, seconds of the week, nanoseconds
constexpr std::size_t BytesPerSample = 4;  // 16-bit I and Q
// A Kiwi sends 512 samples a block, and kiwirecorder resamples by at most 256 times: a chunk that
// announces more than this is a damaged size, not a block, and is not read into memory.
constexpr std::uint64_t MostChunkBytes = 1 << 22;
constexpr std::uint64_t MostFormatBytes = 1024;

std::string_view text(const unsigned char* bytes, std::size_t count) { return {reinterpret_cast<const char*>(bytes), count}; }

KiwiGpsTime gpsTimeAt(const unsigned char* body) {
    KiwiGpsTime time;
    time.sinceFix = body[0];
    time.weekSeconds = littleEndian32(body + 2);
    time.nanoseconds = littleEndian32(body + 6);
    return time;
}

std::string plural(std::uint64_t count, const char* one, const char* many) { return std::to_string(count) + (count == 1 ? one : many); }

}  // namespace

bool KiwiGpsTime::usable() const {
    return sinceFix <= 252 && weekSeconds < SecondsPerWeek && nanoseconds < 1000000000u && (weekSeconds != 0 || nanoseconds != 0);
}

bool isKiwiWav(std::string_view start) {
    if (start.size() < 20 || start.substr(0, 4) != "RIFF" || start.substr(8, 4) != "WAVE" || start.substr(12, 4) != "fmt ") return false;
    const std::uint64_t formatBytes = littleEndian32(reinterpret_cast<const unsigned char*>(start.data()) + 16);
    const std::uint64_t next = 20 + formatBytes + (formatBytes & 1);
    return next + 4 <= start.size() && start.substr(static_cast<std::size_t>(next), 4) == "kiwi";
}

bool isKiwiWavFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string start(256, '\0');
    file.read(start.data(), static_cast<std::streamsize>(start.size()));
    start.resize(static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0)));
    return isKiwiWav(start);
}

std::optional<double> kiwiWavStartWeekSeconds(std::span<const unsigned char> start) {
    if (!isKiwiWav(text(start.data(), start.size())) || start.size() < 36) return std::nullopt;
    const std::uint64_t formatBytes = littleEndian32(start.data() + 16);
    const std::uint32_t rate = littleEndian32(start.data() + 24);
    if (formatBytes < 16 || rate == 0) return std::nullopt;
    std::uint64_t samplesBefore = 0;
    for (std::uint64_t at = 20 + formatBytes + (formatBytes & 1); at + 8 <= start.size();) {
        const std::string_view id = text(start.data() + at, 4);
        const std::uint64_t size = littleEndian32(start.data() + at + 4);
        const std::uint64_t body = at + 8;
        if (id == "kiwi" && size >= KiwiChunkBytes && body + KiwiChunkBytes <= start.size()) {
            const KiwiGpsTime time = gpsTimeAt(start.data() + body);
            // The first blocks of a connection may be stamped before the Kiwi has a time: the first
            // block that has one dates the start, less the samples that came before it.
            if (time.usable())
                return std::fmod(time.seconds() - static_cast<double>(samplesBefore) / rate + SecondsPerWeek, SecondsPerWeek);
        }
        if (id == "data") samplesBefore += size / BytesPerSample;
        at = body + size + (size & 1);
    }
    return std::nullopt;
}

KiwiWavReader::~KiwiWavReader() { close(); }

void KiwiWavReader::close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    memory_ = {};
    memoryAt_ = 0;
    offset_ = 0;
    readFailed_ = false;
    sampleRate_ = 0;
    havePending_ = false;
    block_.clear();
    blockAt_ = 0;
    afterBlock_.clear();
    ended_ = true;
    error_.clear();
}

bool KiwiWavReader::open(const std::string& path, std::string& error) {
    close();
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        error = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    return start(error);
}

bool KiwiWavReader::openMemory(std::string_view bytes, std::string& error) {
    close();
    memory_ = bytes;
    return start(error);
}

std::size_t KiwiWavReader::pull(unsigned char* destination, std::size_t count) {
    std::size_t got = 0;
    if (file_ != nullptr) {
        errno = 0;
        got = std::fread(destination, 1, count, file_);
        if (got < count && std::ferror(file_) != 0) {
            readFailed_ = true;
            error_ = std::string("cannot be read: ") + std::strerror(errno != 0 ? errno : EIO);
        }
    } else {
        got = std::min(count, memory_.size() - memoryAt_);
        if (got > 0) std::memcpy(destination, memory_.data() + memoryAt_, got);
        memoryAt_ += got;
    }
    offset_ += got;
    return got;
}

// The header and the fmt chunk; the first kiwi chunk's header is read as the first chunk to come.
bool KiwiWavReader::start(std::string& error) {
    unsigned char header[20];
    if (pull(header, sizeof header) < sizeof header || text(header, 4) != "RIFF" || text(header + 8, 4) != "WAVE" ||
        text(header + 12, 4) != "fmt ") {
        error = readFailed_ ? error_ : "is not a kiwirecorder IQ file (RIFF/WAVE with kiwi chunks)";
        close();
        return false;
    }
    const std::uint64_t formatBytes = littleEndian32(header + 16);
    std::vector<unsigned char> format(static_cast<std::size_t>(std::min(formatBytes, MostFormatBytes) + (formatBytes & 1)));
    if (formatBytes < 16 || formatBytes > MostFormatBytes || pull(format.data(), format.size()) < formatBytes) {
        error = readFailed_ ? error_ : "has a damaged fmt chunk (" + plural(formatBytes, " byte", " bytes") + ")";
        close();
        return false;
    }
    const unsigned encoding = littleEndian16(format.data());
    const unsigned channels = littleEndian16(format.data() + 2);
    const std::uint32_t rate = littleEndian32(format.data() + 4);
    const unsigned blockAlign = littleEndian16(format.data() + 12);
    const unsigned bits = littleEndian16(format.data() + 14);
    if (channels != 2) {
        error = "has " + plural(channels, " channel", " channels") + "; IQ needs two (I left, Q right)";
    } else if (encoding != 1 || bits != 16 || blockAlign != BytesPerSample) {
        error = "has kiwi chunks, but its samples are not the 16-bit PCM kiwirecorder writes";
    } else if (rate < 1 || rate > (1u << 30)) {
        error = "has a sample rate of " + std::to_string(rate) + " Hz in its fmt chunk";
    } else {
        sampleRate_ = static_cast<int>(rate);
        ended_ = false;
        pendingId_ = "fmt ";
        pendingAt_ = 12;
        pullHeader();
        return true;
    }
    close();
    return false;
}

// The next chunk's header into the pending one; what the bytes after a chunk turned out to be. When
// they are no whole chunk header, afterBlock_ says so.
KiwiWavReader::Next KiwiWavReader::pullHeader() {
    unsigned char header[8];
    const std::uint64_t at = offset_;
    const std::size_t got = pull(header, sizeof header);
    havePending_ = false;
    if (got == 0) return Next::End;
    if (got < sizeof header) {
        afterBlock_ = "is cut short: it ends in the header of a chunk at byte " + std::to_string(at);
        return Next::Cut;
    }
    if (!looksLikeChunk(text(header, sizeof header), RiffLayout::Kind::Wav)) {
        afterBlock_ = "is damaged at byte " + std::to_string(at) + ": no chunk starts there, after the " + pendingName() +
                      " (its size is wrong, or the bytes are damaged)";
        return Next::Damaged;
    }
    havePending_ = true;
    pendingId_ = text(header, 4);
    pendingSize_ = littleEndian32(header + 4);
    pendingAt_ = at;
    return Next::Chunk;
}

std::string KiwiWavReader::pendingName() const { return pendingId_ + " chunk at byte " + std::to_string(pendingAt_); }

bool KiwiWavReader::nextBlock() {
    block_.clear();
    blockAt_ = 0;
    for (;;) {
        if (readFailed_) return false;  // error_ says so already
        if (!afterBlock_.empty()) {
            error_ = afterBlock_;
            return false;
        }
        if (!havePending_) return false;  // the end of the file, after a whole chunk
        const std::string where = pendingName();
        const std::uint64_t size = pendingSize_;
        const bool data = pendingId_ == "data";
        const bool kiwi = pendingId_ == "kiwi";
        if (data && size % BytesPerSample != 0) {
            error_ = "has a " + where + " of " + plural(size, " byte", " bytes") + ", not a whole number of IQ samples (4 bytes each)";
            return false;
        }
        if (kiwi && size < KiwiChunkBytes) {
            error_ = "has a " + where + " of " + plural(size, " byte", " bytes") + ", too short for the GPS time it holds (10 bytes)";
            return false;
        }
        if (size > MostChunkBytes) {
            error_ = "has a " + where + " that announces " + std::to_string(size) + " bytes, more than any block kiwirecorder writes";
            return false;
        }
        // The body, taken in pieces: a size the file does not hold costs no memory it does not fill.
        std::vector<unsigned char> body;
        while (body.size() < size) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - body.size(), 1 << 16));
            const std::size_t old = body.size();
            body.resize(old + piece);
            const std::size_t got = pull(body.data() + old, piece);
            body.resize(old + got);
            if (got < piece) break;
        }
        if (readFailed_) return false;
        if (body.size() < size) {
            if (!data) {
                error_ = "is cut short: it ends in its " + where;
                return false;
            }
            // The samples before the cut are good: the recorder stopped part-way through writing them.
            afterBlock_ = "is cut short: its " + where + " holds " + std::to_string(body.size()) + " of the " + std::to_string(size) +
                          " bytes it announces";
            body.resize(body.size() - body.size() % BytesPerSample);
        } else {
            if (size & 1) {
                unsigned char pad = 0;
                pull(&pad, 1);  // missing at the very end of a file only: nothing lost
            }
            if (pullHeader() == Next::Damaged) {
                // Samples followed by no chunk are not to be trusted: the size that ended them is wrong.
                error_ = afterBlock_;
                return false;
            }
        }
        if (data && !body.empty()) {
            block_ = std::move(body);
            return true;
        }
        // A kiwi chunk (its time is for kiwiWavStartWeekSeconds), another program's chunk, or an empty
        // data chunk: on to the next.
    }
}

std::size_t KiwiWavReader::read(std::complex<float>* samples, std::size_t count) {
    std::size_t done = 0;
    while (done < count && !ended_) {
        if (blockAt_ >= block_.size() && !nextBlock()) {
            ended_ = true;
            break;
        }
        const std::size_t n = std::min(count - done, (block_.size() - blockAt_) / BytesPerSample);
        decodeIqSamples(IqFormat::Cs16, block_.data() + blockAt_, n, samples + done);
        blockAt_ += n * BytesPerSample;
        done += n;
    }
    return done;
}

int gpsLeadOverUtc(std::int64_t utcSeconds) {
    // Leap seconds since those of 2012: none has been announced after 2017.
    constexpr std::pair<std::int64_t, int> Leads[] = {{1341100800, 16}, {1435708800, 17}, {1483228800, 18}};
    int lead = -1;
    for (const auto& [since, seconds] : Leads)
        if (utcSeconds >= since) lead = seconds;
    return lead;
}

namespace {

constexpr double GpsEpochUtc = 315964800.0;  // 1980-01-06T00:00:00Z

void put16(std::FILE* file, unsigned value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xFF), static_cast<unsigned char>(value >> 8 & 0xFF)};
    std::fwrite(bytes, 1, 2, file);
}

void put32(std::FILE* file, std::uint32_t value) {
    put16(file, value & 0xFFFF);
    put16(file, value >> 16);
}

}  // namespace

KiwiWavWriter::~KiwiWavWriter() {
    std::string ignored;
    close(ignored);
}

bool KiwiWavWriter::open(const std::string& path, int sampleRate, double startUtcSeconds, std::string& error) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error = std::string("cannot be written: ") + std::strerror(errno);
        return false;
    }
    sampleRate_ = sampleRate;
    const int lead = gpsLeadOverUtc(static_cast<std::int64_t>(startUtcSeconds));
    startGps_ = startUtcSeconds - GpsEpochUtc + std::max(lead, 0);
    samplesWritten_ = 0;
    failed_ = false;
    block_.clear();
    // The RIFF size is put right at the end; 16-bit PCM, I left and Q right.
    std::fwrite("RIFF", 1, 4, file_);
    put32(file_, 0);
    std::fwrite("WAVEfmt ", 1, 8, file_);
    put32(file_, 16);
    put16(file_, 1);
    put16(file_, 2);
    put32(file_, static_cast<std::uint32_t>(sampleRate));
    put32(file_, static_cast<std::uint32_t>(sampleRate) * BytesPerSample);
    put16(file_, BytesPerSample);
    put16(file_, 16);
    return true;
}

bool KiwiWavWriter::write(const std::complex<float>* samples, std::size_t count) {
    if (file_ == nullptr) return false;
    for (std::size_t n = 0; n < count; ++n) {
        for (const float part : {samples[n].real(), samples[n].imag()}) {
            const auto code = static_cast<int>(std::lround(std::clamp(part * 32768.0f, -32768.0f, 32767.0f)));
            block_.push_back(static_cast<unsigned char>(code & 0xFF));
            block_.push_back(static_cast<unsigned char>(code >> 8 & 0xFF));
        }
        if (block_.size() == SamplesPerBlock * BytesPerSample && !writeBlock()) return false;
    }
    return !failed_;
}

bool KiwiWavWriter::writeBlock() {
    const double gps = startGps_ + static_cast<double>(samplesWritten_) / sampleRate_;
    const double weekSeconds = std::fmod(gps, SecondsPerWeek);
    const double whole = std::floor(weekSeconds);
    std::fwrite("kiwi", 1, 4, file_);
    put32(file_, KiwiChunkBytes);
    put16(file_, 0);  // a fix this second; the spare byte
    put32(file_, static_cast<std::uint32_t>(whole));
    put32(file_, static_cast<std::uint32_t>(std::min(999999999.0, std::round((weekSeconds - whole) * 1e9))));
    std::fwrite("data", 1, 4, file_);
    put32(file_, static_cast<std::uint32_t>(block_.size()));
    if (std::fwrite(block_.data(), 1, block_.size(), file_) != block_.size()) failed_ = true;
    samplesWritten_ += block_.size() / BytesPerSample;
    block_.clear();
    return !failed_;
}

bool KiwiWavWriter::close(std::string& error) {
    if (file_ == nullptr) return !failed_;
    if (!block_.empty()) writeBlock();
    const long size = std::ftell(file_);
    if (size > 8 && size - 8 <= 0xFFFFFFFFL && std::fseek(file_, 4, SEEK_SET) == 0) put32(file_, static_cast<std::uint32_t>(size - 8));
    if (std::ferror(file_) != 0) failed_ = true;
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    if (failed_) error = std::string("could not be written whole: ") + std::strerror(errno);
    return !failed_;
}

}  // namespace sondeco
