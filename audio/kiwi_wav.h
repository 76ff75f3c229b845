// SPDX-License-Identifier: GPL-3.0-or-later
// kiwirecorder's --kiwi-wav IQ files: a RIFF/WAVE header and fmt chunk (16-bit PCM, I left, Q
// right), then every block of samples as the KiwiSDR sent it, a `kiwi` chunk with the block's GPS
// time followed by a `data` chunk of its samples, block after block (512 samples each as the Kiwi
// sends them; another count when kiwirecorder resamples). The RIFF size is rewritten after every
// block, or left at a placeholder by a recorder that died.
//
// libsndfile refuses these files ("SF_INFO struct incomplete"), and a WAV reader that takes the first
// data chunk for all of the audio would stop after one block. This form has a reader of its own for
// that reason, and it reads nothing else.
#pragma once

#include <complex>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

// The time stamp of a kiwi chunk. GPS time carries no date here: the seconds count from the start
// of the GPS week (Sunday 00:00:00 GPS time), and the week is not written.
struct KiwiGpsTime {
    // Seconds since the Kiwi's last GPS fix, at most 252; 253 and 254 mark errors, 255 a Kiwi that has
    // never had a fix (its time is then its own clock's, unrelated to GPS).
    std::uint8_t sinceFix = 255;
    std::uint32_t weekSeconds = 0;
    std::uint32_t nanoseconds = 0;

    // A time that can be trusted: from a Kiwi with a fix, and not the zeros of a connection's first
    // block (the Kiwi sends those before it has timed a block).
    bool usable() const;
    double seconds() const { return weekSeconds + nanoseconds * 1e-9; }
};

// Whether a file's first bytes (64 are enough for what kiwirecorder writes) are this form: RIFF/WAVE,
// then a fmt chunk, then a kiwi chunk.
bool isKiwiWav(std::string_view start);
bool isKiwiWavFile(const std::string& path);

// The GPS time of week (seconds from the week's start) of the first sample, from the first kiwi
// chunk among a file's first bytes with a usable time, less the samples before that chunk at the
// file's rate. Nothing when the bytes are not this form or hold no usable time.
std::optional<double> kiwiWavStartWeekSeconds(std::span<const unsigned char> start);

// Reads the samples of every data chunk in turn. A file cut short or damaged gives the samples before
// the damage, then says what is wrong.
class KiwiWavReader {
public:
    KiwiWavReader() = default;
    KiwiWavReader(const KiwiWavReader&) = delete;
    KiwiWavReader& operator=(const KiwiWavReader&) = delete;
    ~KiwiWavReader();

    // Every failure comes back as a sentence that can follow the file's name.
    bool open(const std::string& path, std::string& error);
    // A whole file held in memory; the bytes must outlive the reader.
    bool openMemory(std::string_view bytes, std::string& error);
    void close();

    int sampleRate() const { return sampleRate_; }

    // Up to `count` samples, I and Q at full scale +-1 (the 16-bit codes over 32768). Fewer only at
    // the end of the samples, 0 from then on; error() then says whether the end was a failure.
    std::size_t read(std::complex<float>* samples, std::size_t count);
    const std::string& error() const { return error_; }

private:
    enum class Next { Chunk, End, Cut, Damaged };

    bool start(std::string& error);
    std::size_t pull(unsigned char* destination, std::size_t count);
    Next pullHeader();
    bool nextBlock();
    std::string pendingName() const;  // "data chunk at byte 2116"

    std::FILE* file_ = nullptr;
    std::string_view memory_;
    std::size_t memoryAt_ = 0;
    std::uint64_t offset_ = 0;  // bytes taken from the file so far
    bool readFailed_ = false;

    int sampleRate_ = 0;
    // The chunk whose header has been read and whose body comes next, and where it starts.
    bool havePending_ = false;
    std::string pendingId_;
    std::uint64_t pendingSize_ = 0;
    std::uint64_t pendingAt_ = 0;
    // The data chunk being delivered, and how far.
    std::vector<unsigned char> block_;
    std::size_t blockAt_ = 0;
    // Said once the block before it has been delivered: the file ends or breaks after it.
    std::string afterBlock_;
    bool ended_ = true;
    std::string error_;
};

// GPS time runs ahead of UTC by the leap seconds since 1980: how many at a moment (UTC seconds since
// 1970), from 2012 on (16, 17, then 18 since 2017); -1 before, where no KiwiSDR recording can be.
int gpsLeadOverUtc(std::int64_t utcSeconds);

// Writes the form as kiwirecorder does, for tests and for programs that read it: blocks of 512
// samples, each stamped with its GPS time counted on from the first sample's.
class KiwiWavWriter {
public:
    KiwiWavWriter() = default;
    KiwiWavWriter(const KiwiWavWriter&) = delete;
    KiwiWavWriter& operator=(const KiwiWavWriter&) = delete;
    ~KiwiWavWriter();

    // `startUtcSeconds`: when the first sample was taken. Failures are a sentence that can follow the
    // file's name.
    bool open(const std::string& path, int sampleRate, double startUtcSeconds, std::string& error);
    // I and Q at full scale +-1, clipped to the 16-bit codes.
    bool write(const std::complex<float>* samples, std::size_t count);
    // The last block, and the RIFF size put right; false with the problem when anything failed.
    bool close(std::string& error);

    static constexpr std::size_t SamplesPerBlock = 512;

private:
    bool writeBlock();

    std::FILE* file_ = nullptr;
    int sampleRate_ = 0;
    double startGps_ = 0.0;  // GPS seconds since its 1980 epoch
    std::uint64_t samplesWritten_ = 0;
    std::vector<unsigned char> block_;  // the samples of the block being gathered
    bool failed_ = false;
};

}  // namespace sondeco
