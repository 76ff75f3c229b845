// SPDX-License-Identifier: GPL-3.0-or-later
// `sondeco --input FILE`: a recording stands in for the capture device. Any file AudioInput reads,
// at any rate it takes, is delivered at 48000 Hz in 100 ms buffers of 16-bit stereo (its first two
// channels) at real-time pace, looping at the end, into the same capture ring as a sound card's.
#pragma once

#include "audio/audio_backend.h"

#include <string>

namespace sondeco {

class SoundFileInputBackend final : public AudioBackend {
public:
    // Device listing and playback still go to `devices` (the real audio system); only capture reads
    // the file, whichever device is chosen.
    SoundFileInputBackend(std::string path, AudioBackend& devices) : path_(std::move(path)), devices_(devices) {}

    std::vector<std::string> inputDeviceNames() override { return devices_.inputDeviceNames(); }
    std::unique_ptr<CaptureStream> openCapture(int device, CaptureRing& ring, AudioError& error) override;
    std::unique_ptr<PlayStream> openPlayback(AudioError& error) override { return devices_.openPlayback(error); }

    const std::string& path() const { return path_; }

private:
    std::string path_;
    AudioBackend& devices_;
};

}  // namespace sondeco
