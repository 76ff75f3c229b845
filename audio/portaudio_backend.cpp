// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/portaudio_backend.h"

#include "audio/audio_format.h"

#include <portaudio.h>
#ifdef SONDECO_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>

namespace sondeco {
namespace {

#ifdef SONDECO_HAVE_ALSA
void quietAlsaError(const char*, int, const char*, int, const char*, ...) {}
#endif

// PortAudio probes every ALSA and JACK device while it initialises and both libraries print what
// fails on stderr. Users should see only our own messages, so stderr is parked on /dev/null for
// the duration of the probe.
class StderrSilencer {
public:
    StderrSilencer() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~StderrSilencer() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    StderrSilencer(const StderrSilencer&) = delete;
    StderrSilencer& operator=(const StderrSilencer&) = delete;

private:
    int saved_ = -1;
};

class PortAudioCapture final : public CaptureStream {
public:
    PortAudioCapture(CaptureRing& ring, int channels) : ring_(ring), channels_(channels) {}
    ~PortAudioCapture() override {
        if (stream_ != nullptr) {
            StderrSilencer quiet;
            Pa_AbortStream(stream_);  // returns once the callback can no longer run
            Pa_CloseStream(stream_);
        }
    }
    PortAudioCapture(const PortAudioCapture&) = delete;
    PortAudioCapture& operator=(const PortAudioCapture&) = delete;

    bool start(int deviceIndex, double latency, AudioError& error) {
        PaStreamParameters input{};
        input.device = deviceIndex;
        input.channelCount = channels_;
        input.sampleFormat = paInt16;
        input.suggestedLatency = latency;
        PaError result =
            Pa_OpenStream(&stream_, &input, nullptr, SampleRate, FramesPerBuffer, paClipOff, &PortAudioCapture::callback, this);
        if (result != paNoError) {
            stream_ = nullptr;
            error = {AudioError::Kind::OpenFailed, Pa_GetErrorText(result)};
            return false;
        }
        Pa_SetStreamFinishedCallback(stream_, &PortAudioCapture::finished);
        running_ = true;
        lastDelivery_ = nowNanoseconds();
        result = Pa_StartStream(stream_);
        if (result != paNoError) {
            // The device opened but would not run with our buffers.
            running_ = false;
            error = {AudioError::Kind::BufferFailed, Pa_GetErrorText(result)};
            return false;
        }
        return true;
    }

    // A device that vanishes under a running stream does not always end it: ALSA's PulseAudio plugin
    // just stops delivering. So a stream that has delivered nothing for a while counts as stopped.
    bool isRunning() const override {
        constexpr std::int64_t Silence = 1'500'000'000;  // 15 buffers' time
        return running_.load() && stream_ != nullptr && Pa_IsStreamActive(stream_) == 1 &&
               nowNanoseconds() - lastDelivery_.load(std::memory_order_relaxed) < Silence;
    }
    int channels() const override { return channels_; }

private:
    static int callback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
                        void* self) {
        auto* capture = static_cast<PortAudioCapture*>(self);
        capture->lastDelivery_.store(nowNanoseconds(), std::memory_order_relaxed);
        if (input != nullptr)
            capture->ring_.writeFrames(static_cast<const std::int16_t*>(input), static_cast<int>(frames), capture->channels_);
        return paContinue;
    }
    static void finished(void* self) { static_cast<PortAudioCapture*>(self)->running_ = false; }
    static std::int64_t nowNanoseconds() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }

    CaptureRing& ring_;
    int channels_;
    PaStream* stream_ = nullptr;
    std::atomic<bool> running_{false};
    std::atomic<std::int64_t> lastDelivery_{0};
};

// Single-producer single-consumer queue of stereo frames between the main thread and the audio
// callback. Holds eight 100 ms buffers, like the monitor ring it serves.
class PortAudioPlayback final : public PlayStream {
public:
    static constexpr std::size_t CapacityFrames = 8 * FramesPerBuffer;

    ~PortAudioPlayback() override {
        if (stream_ != nullptr) {
            StderrSilencer quiet;
            Pa_AbortStream(stream_);
            Pa_CloseStream(stream_);
        }
    }

    bool start(AudioError& error) {
        const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
        if (device == paNoDevice) {
            error = {AudioError::Kind::OpenFailed, "no default output device"};
            return false;
        }
        const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
        PaStreamParameters output{};
        output.device = device;
        output.channelCount = 2;
        output.sampleFormat = paInt16;
        output.suggestedLatency = info != nullptr ? info->defaultHighOutputLatency : 0.2;
        PaError result = Pa_OpenStream(&stream_, nullptr, &output, SampleRate, paFramesPerBufferUnspecified, paClipOff,
                                       &PortAudioPlayback::callback, this);
        if (result != paNoError) {
            stream_ = nullptr;
            error = {AudioError::Kind::OpenFailed, Pa_GetErrorText(result)};
            return false;
        }
        result = Pa_StartStream(stream_);
        if (result != paNoError) {
            Pa_CloseStream(stream_);
            stream_ = nullptr;
            error = {AudioError::Kind::BufferFailed, Pa_GetErrorText(result)};
            return false;
        }
        return true;
    }

    bool write(const std::int16_t* interleaved, int frames) override {
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        const std::uint64_t tail = tail_.load(std::memory_order_acquire);
        if (frames < 0 || head - tail + static_cast<std::uint64_t>(frames) > CapacityFrames) return false;
        for (int n = 0; n < frames; ++n) {
            const std::size_t at = static_cast<std::size_t>((head + static_cast<std::uint64_t>(n)) % CapacityFrames) * 2;
            frames_[at] = interleaved[2 * n];
            frames_[at + 1] = interleaved[2 * n + 1];
        }
        head_.store(head + static_cast<std::uint64_t>(frames), std::memory_order_release);
        return true;
    }

    void reset() override { resetRequested_.store(true, std::memory_order_release); }

private:
    static int callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
                        void* self) {
        auto* play = static_cast<PortAudioPlayback*>(self);
        auto* out = static_cast<std::int16_t*>(output);
        std::uint64_t tail = play->tail_.load(std::memory_order_relaxed);
        const std::uint64_t head = play->head_.load(std::memory_order_acquire);
        if (play->resetRequested_.exchange(false, std::memory_order_acq_rel)) tail = head;
        for (unsigned long n = 0; n < frames; ++n) {
            if (tail < head) {
                const std::size_t at = static_cast<std::size_t>(tail % CapacityFrames) * 2;
                out[2 * n] = play->frames_[at];
                out[2 * n + 1] = play->frames_[at + 1];
                ++tail;
            } else {
                out[2 * n] = 0;  // nothing queued: silence
                out[2 * n + 1] = 0;
            }
        }
        play->tail_.store(tail, std::memory_order_release);
        return paContinue;
    }

    PaStream* stream_ = nullptr;
    std::array<std::int16_t, 2 * CapacityFrames> frames_{};
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> tail_{0};
    std::atomic<bool> resetRequested_{false};
};

}  // namespace

PortAudioBackend::PortAudioBackend() {
    // Never let a JACK client library start a server just because we listed devices.
    ::setenv("JACK_NO_START_SERVER", "1", 0);
#ifdef SONDECO_HAVE_ALSA
    snd_lib_error_set_handler(&quietAlsaError);
#endif
    StderrSilencer quiet;
    initialised_ = Pa_Initialize() == paNoError;
    if (!initialised_) return;
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info != nullptr && info->maxInputChannels > 0) inputDeviceIndices_.push_back(i);
    }
}

PortAudioBackend::~PortAudioBackend() {
    if (initialised_) {
        StderrSilencer quiet;
        Pa_Terminate();
    }
}

std::vector<std::string> PortAudioBackend::inputDeviceNames() {
    std::vector<std::string> names;
    for (int index : inputDeviceIndices_) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
        names.emplace_back(info != nullptr && info->name != nullptr ? info->name : "");
    }
    return names;
}

std::unique_ptr<CaptureStream> PortAudioBackend::openCapture(int device, CaptureRing& ring, AudioError& error) {
    if (!initialised_) {
        error = {AudioError::Kind::OpenFailed, "the audio system could not be initialised"};
        return nullptr;
    }
    PaDeviceIndex index = paNoDevice;
    if (device < 0) {
        index = Pa_GetDefaultInputDevice();
    } else if (static_cast<std::size_t>(device) < inputDeviceIndices_.size()) {
        index = inputDeviceIndices_[static_cast<std::size_t>(device)];
    }
    const PaDeviceInfo* info = index == paNoDevice ? nullptr : Pa_GetDeviceInfo(index);
    if (info == nullptr || info->maxInputChannels < 1) {
        error = {AudioError::Kind::OpenFailed, "no such input device"};
        return nullptr;
    }
    StderrSilencer quiet;
    // Many USB sound cards record mono only; their one channel is then taken as the left channel.
    for (int channels = info->maxInputChannels >= 2 ? 2 : 1; channels >= 1; --channels) {
        auto capture = std::make_unique<PortAudioCapture>(ring, channels);
        if (capture->start(index, info->defaultHighInputLatency, error)) return capture;
    }
    return nullptr;
}

std::unique_ptr<PlayStream> PortAudioBackend::openPlayback(AudioError& error) {
    if (!initialised_) {
        error = {AudioError::Kind::OpenFailed, "the audio system could not be initialised"};
        return nullptr;
    }
    StderrSilencer quiet;
    auto play = std::make_unique<PortAudioPlayback>();
    if (!play->start(error)) return nullptr;
    return play;
}

}  // namespace sondeco
