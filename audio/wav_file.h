// Reading and writing the 16-bit PCM WAV files Sondeco uses: recordings to decode, test signals to
// generate. No dependencies beyond the C++ library, so the command-line tools can use it alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sondeco {

struct WavInfo {
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    std::uint64_t dataBytes = 0;  // as the header states it; meaningless when !dataSizeKnown
    bool dataSizeKnown = true;  // false for streamed headers (size 0 or 0xFFFFFFFF): read to the end
};

// How many frames to read at once so that one read needs at most a megabyte, however many channels a
// header claims (up to 65535, or 128 kB a frame).
inline std::size_t framesPerRead(int channels, std::size_t wanted) {
    constexpr std::size_t MaxReadBytes = 1 << 20;
    const std::size_t frameBytes = 2 * static_cast<std::size_t>(channels > 0 ? channels : 1);
    const std::size_t fit = MaxReadBytes / frameBytes;
    return fit == 0 ? 1 : (fit < wanted ? fit : wanted);
}

// Reads a WAV file that is 16-bit PCM at 48000 Hz with any number of channels. Every failure comes
// back as a sentence that can follow the file name ("is not a WAV file (no RIFF header)").
class WavReader {
public:
    WavReader() = default;
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;
    ~WavReader();

    // `path` "-" reads standard input.
    bool open(const std::string& path, std::string& error);
    // Takes over an already opened stream (not closed by the reader unless `owned`).
    bool openStream(std::FILE* stream, bool owned, std::string& error);
    void close();

    const WavInfo& info() const { return info_; }

    // Reads up to `frames` frames into `destination` (frames x channels int16 values, interleaved).
    // Returns the number of whole frames read; 0 at the end of the audio.
    std::size_t readFrames(std::int16_t* destination, std::size_t frames);

    // Back to the first frame; false on a stream that cannot seek.
    bool rewind();

    // The header promised more audio than the file holds (the file was cut short).
    bool truncated() const { return truncated_; }

private:
    bool fail(std::string& error, std::string message);

    std::FILE* file_ = nullptr;
    bool owned_ = false;
    WavInfo info_;
    long dataStart_ = -1;  // file offset of the first frame, -1 when the stream cannot tell
    std::uint64_t bytesLeft_ = 0;
    bool truncated_ = false;
};

// Writes 16-bit PCM WAV. The sizes in the header are filled in by close().
class WavWriter {
public:
    WavWriter() = default;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;
    ~WavWriter();

    bool open(const std::string& path, int channels, int sampleRate, std::string& error);
    bool writeFrames(const std::int16_t* interleaved, std::size_t frames);
    bool close(std::string& error);

private:
    std::FILE* file_ = nullptr;
    int channels_ = 0;
    std::uint64_t dataBytes_ = 0;
    bool failed_ = false;
};

}  // namespace sondeco
