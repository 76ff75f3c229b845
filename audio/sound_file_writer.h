// Writes 16-bit PCM WAV files through libsndfile: sondeco-gen's test signals, the tests' recordings.
// libsndfile fills in the header's sizes when the file is closed, so the output must be a file (a
// pipe cannot go back to the header).
#pragma once

#include <cstdint>
#include <string>

struct sf_private_tag;  // libsndfile's SNDFILE, kept out of this header

namespace sondeco {

class SoundFileWriter {
public:
    SoundFileWriter() = default;
    SoundFileWriter(const SoundFileWriter&) = delete;
    SoundFileWriter& operator=(const SoundFileWriter&) = delete;
    ~SoundFileWriter();

    // `path` "-" writes to standard output when that is a file. Every failure comes back as a
    // sentence that can follow the file's name ("cannot be written: No space left on device").
    bool open(const std::string& path, int channels, int sampleRate, std::string& error);
    // False once anything has failed; close() says what.
    bool writeFrames(const std::int16_t* interleaved, std::size_t frames);
    bool close(std::string& error);

private:
    sf_private_tag* file_ = nullptr;
    int descriptor_ = -1;  // owned: opened by name
    std::string failure_;  // the first thing that went wrong since open()
};

}  // namespace sondeco
