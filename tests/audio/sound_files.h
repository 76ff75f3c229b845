// SPDX-License-Identifier: GPL-3.0-or-later
// Sound files made in the tests with libsndfile itself, pipes fed from a thread, and reading an
// input to its end: what the audio input tests and the measurements share.
#pragma once

#include "audio/audio_input.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace sondeco::testing {

// Writes interleaved samples (full scale +-1) as a sound file of libsndfile's `format`.
inline void writeSoundFile(const std::filesystem::path& path, int format, int channels, int rate, const std::vector<double>& samples) {
    SF_INFO info{};
    info.format = format;
    info.channels = channels;
    info.samplerate = rate;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    const auto frames = static_cast<sf_count_t>(samples.size() / static_cast<std::size_t>(channels));
    EXPECT_EQ(sf_writef_double(file, samples.data(), frames), frames);
    EXPECT_EQ(sf_close(file), 0);
}

inline std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A pipe whose writing end a thread fills with `bytes` and then closes, as a program upstream would.
class PipeFeeder {
public:
    // With `socket`, a connected pair of Unix sockets instead, as a program started by a network
    // service has for its standard input.
    explicit PipeFeeder(std::string bytes, bool socket = false) : bytes_(std::move(bytes)) {
        std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not end the test program
        EXPECT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends_) : ::pipe(ends_), 0);
        writer_ = std::thread([this] {
            std::size_t done = 0;
            while (done < bytes_.size()) {
                const ssize_t n = ::write(ends_[1], bytes_.data() + done, bytes_.size() - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            ::close(ends_[1]);
        });
    }
    ~PipeFeeder() {
        ::close(ends_[0]);
        writer_.join();
    }
    PipeFeeder(const PipeFeeder&) = delete;
    PipeFeeder& operator=(const PipeFeeder&) = delete;

    int readEnd() const { return ends_[0]; }

private:
    std::string bytes_;
    int ends_[2] = {-1, -1};
    std::thread writer_;
};

// Everything an input delivers, in blocks of an odd size so that no edge lines up by chance.
inline std::vector<double> readToTheEnd(AudioInput& input) {
    std::vector<double> all;
    std::vector<double> block(1237 * static_cast<std::size_t>(input.outputChannels()));
    for (;;) {
        const std::size_t frames = input.read(block);
        all.insert(all.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(frames) * input.outputChannels());
        if (frames * static_cast<std::size_t>(input.outputChannels()) < block.size()) break;
    }
    return all;
}

}  // namespace sondeco::testing
