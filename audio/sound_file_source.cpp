// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/sound_file_source.h"

#include "audio/audio_input.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace sondeco {
namespace {

std::int16_t toPcm16(double sample) { return static_cast<std::int16_t>(std::lround(std::clamp(sample, -32768.0, 32767.0))); }

class SoundFileCapture final : public CaptureStream {
public:
    SoundFileCapture(std::unique_ptr<AudioInput> input, CaptureRing& ring) : input_(std::move(input)), ring_(ring) {
        thread_ = std::thread([this] { run(); });
    }
    ~SoundFileCapture() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    SoundFileCapture(const SoundFileCapture&) = delete;
    SoundFileCapture& operator=(const SoundFileCapture&) = delete;

    bool isRunning() const override { return running_.load(); }
    int channels() const override { return input_->outputChannels(); }

private:
    void run() {
        const int channels = input_->outputChannels();
        std::vector<double> block(static_cast<std::size_t>(FramesPerBuffer * channels));
        std::vector<std::int16_t> pcm(block.size());
        auto due = std::chrono::steady_clock::now();
        bool rewound = false;  // a rewind that yields nothing means the file has no frames left at all
        for (;;) {
            // One buffer's worth straight into the ring. A damaged file plays up to the damage and
            // starts again, as a whole one does at its end.
            std::size_t got = 0;
            while (got < static_cast<std::size_t>(FramesPerBuffer)) {
                const std::size_t wanted = static_cast<std::size_t>(FramesPerBuffer) - got;
                const std::size_t n = input_->read(std::span(block).first(wanted * static_cast<std::size_t>(channels)));
                if (n > 0) {
                    std::transform(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n * static_cast<std::size_t>(channels)),
                                   pcm.begin(), toPcm16);
                    ring_.writeFrames(pcm.data(), static_cast<int>(n), channels);
                    got += n;
                    rewound = false;
                    continue;
                }
                if (rewound || !input_->rewind()) break;
                rewound = true;
            }
            if (got == 0) break;

            // Keep to real time: one buffer every 100 ms, measured from the start so it never drifts.
            due += std::chrono::microseconds(static_cast<long long>(got) * 1000000 / SampleRate);
            std::unique_lock<std::mutex> lock(mutex_);
            if (wake_.wait_until(lock, due, [this] { return stop_; })) break;
        }
        running_ = false;
    }

    std::unique_ptr<AudioInput> input_;
    CaptureRing& ring_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<CaptureStream> SoundFileInputBackend::openCapture(int, CaptureRing& ring, AudioError& error) {
    auto input = std::make_unique<AudioInput>();
    error.kind = AudioError::Kind::OpenFailed;
    if (!input->openFile(path_, {0, CaptureChannels}, error.detail)) return nullptr;
    if (input->announcedFrames() == 0) {
        error.detail = "holds no audio";
        return nullptr;
    }
    return std::make_unique<SoundFileCapture>(std::move(input), ring);
}

}  // namespace sondeco
