// SPDX-License-Identifier: GPL-3.0-or-later
// The real audio system: PortAudio, which reaches ALSA, PulseAudio and PipeWire on Linux.
#pragma once

#include "audio/audio_backend.h"

namespace sondeco {

class PortAudioBackend final : public AudioBackend {
public:
    PortAudioBackend();  // initialises PortAudio, keeping ALSA's and JACK's probing chatter off stderr
    ~PortAudioBackend() override;
    PortAudioBackend(const PortAudioBackend&) = delete;
    PortAudioBackend& operator=(const PortAudioBackend&) = delete;

    bool initialised() const { return initialised_; }

    std::vector<std::string> inputDeviceNames() override;
    std::unique_ptr<CaptureStream> openCapture(int device, CaptureRing& ring, AudioError& error) override;
    std::unique_ptr<PlayStream> openPlayback(AudioError& error) override;

private:
    // PortAudio device index of each position of inputDeviceNames(), so that position k opens the
    // very device that reported the k-th name even when other devices are skipped.
    std::vector<int> inputDeviceIndices_;
    bool initialised_ = false;
};

}  // namespace sondeco
