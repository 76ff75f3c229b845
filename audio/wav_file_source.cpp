#include "audio/wav_file_source.h"

#include "audio/wav_file.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace sondeco {
namespace {

class WavFileCapture final : public CaptureStream {
public:
    WavFileCapture(std::unique_ptr<WavReader> reader, CaptureRing& ring) : reader_(std::move(reader)), ring_(ring) {
        thread_ = std::thread([this] { run(); });
    }
    ~WavFileCapture() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    WavFileCapture(const WavFileCapture&) = delete;
    WavFileCapture& operator=(const WavFileCapture&) = delete;

    bool isRunning() const override { return running_.load(); }
    int channels() const override { return reader_->info().channels; }

private:
    void run() {
        const int channels = reader_->info().channels;
        const std::size_t blockFrames = framesPerRead(channels, FramesPerBuffer);
        std::vector<std::int16_t> block(blockFrames * static_cast<std::size_t>(channels));
        auto due = std::chrono::steady_clock::now();
        bool rewound = false;  // a rewind that yields nothing means the file has no frames left at all
        for (;;) {
            // One buffer's worth, in reads of at most a megabyte, straight into the ring.
            std::size_t got = 0;
            while (got < static_cast<std::size_t>(FramesPerBuffer)) {
                const std::size_t n = reader_->readFrames(block.data(), std::min(blockFrames, FramesPerBuffer - got));
                if (n > 0) {
                    ring_.writeFrames(block.data(), static_cast<int>(n), channels);
                    got += n;
                    rewound = false;
                    continue;
                }
                if (rewound || !reader_->rewind()) break;
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

    std::unique_ptr<WavReader> reader_;
    CaptureRing& ring_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<CaptureStream> WavFileInputBackend::openCapture(int, CaptureRing& ring, AudioError& error) {
    auto reader = std::make_unique<WavReader>();
    error.kind = AudioError::Kind::OpenFailed;
    if (!reader->open(path_, error.detail)) return nullptr;
    if (reader->info().dataSizeKnown && reader->info().dataBytes < static_cast<std::uint64_t>(reader->info().channels) * 2) {
        error.detail = "holds no audio (its data chunk is empty)";
        return nullptr;
    }
    return std::make_unique<WavFileCapture>(std::move(reader), ring);
}

}  // namespace sondeco
