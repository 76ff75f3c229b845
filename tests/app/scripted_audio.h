// SPDX-License-Identifier: GPL-3.0-or-later
// A scripted stand-in for the audio system: the test decides which devices exist, which opens fail,
// and delivers capture buffers into the ring exactly as an audio callback would.
#pragma once

#include "audio/audio_backend.h"

#include <string>
#include <vector>

namespace sondeco::testing {

class ScriptedAudio final : public AudioBackend {
public:
    std::vector<std::string> deviceNames;
    bool captureFails = false;
    AudioError::Kind captureFailure = AudioError::Kind::OpenFailed;
    bool playbackFails = false;
    bool captureStalled = false;  // the open stream has stopped delivering (device gone)

    std::vector<int> openedDevices;  // every openCapture call's device argument
    int playbackOpens = 0;
    std::vector<std::int16_t> played;  // every frame written to the play stream, interleaved
    int playResets = 0;

    std::vector<std::string> inputDeviceNames() override { return deviceNames; }

    std::unique_ptr<CaptureStream> openCapture(int device, CaptureRing& ring, AudioError& error) override {
        openedDevices.push_back(device);
        if (captureFails) {
            error = {captureFailure, "scripted failure"};
            return nullptr;
        }
        ring_ = &ring;
        return std::make_unique<Capture>(*this);
    }

    std::unique_ptr<PlayStream> openPlayback(AudioError& error) override {
        ++playbackOpens;
        if (playbackFails) {
            error = {AudioError::Kind::OpenFailed, "scripted failure"};
            return nullptr;
        }
        return std::make_unique<Play>(*this);
    }

    bool captureOpen() const { return ring_ != nullptr; }

    // As the audio callback does: frames into the ring, which notifies the main window.
    void deliver(const std::vector<std::int16_t>& interleavedStereo) {
        if (ring_ != nullptr) ring_->writeFrames(interleavedStereo.data(), static_cast<int>(interleavedStereo.size() / 2), 2);
    }

private:
    class Capture final : public CaptureStream {
    public:
        explicit Capture(ScriptedAudio& audio) : audio_(audio) {}
        ~Capture() override { audio_.ring_ = nullptr; }
        bool isRunning() const override { return !audio_.captureStalled; }
        int channels() const override { return 2; }

    private:
        ScriptedAudio& audio_;
    };

    class Play final : public PlayStream {
    public:
        explicit Play(ScriptedAudio& audio) : audio_(audio) {}
        bool write(const std::int16_t* frames, int count) override {
            audio_.played.insert(audio_.played.end(), frames, frames + 2 * count);
            return true;
        }
        void reset() override { ++audio_.playResets; }

    private:
        ScriptedAudio& audio_;
    };

    CaptureRing* ring_ = nullptr;
};

}  // namespace sondeco::testing
