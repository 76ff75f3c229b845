// `sondeco --input FILE.wav`: a WAV file stands in for the capture device. Its audio is delivered in
// 100 ms buffers at real-time pace, looping at the end, into the same capture ring as a sound card's.
#pragma once

#include "audio/audio_backend.h"

#include <string>

namespace sondeco {

class WavFileInputBackend final : public AudioBackend {
public:
    // Device listing and playback still go to `devices` (the real audio system); only capture reads
    // the file, whichever device is chosen.
    WavFileInputBackend(std::string path, AudioBackend& devices) : path_(std::move(path)), devices_(devices) {}

    std::vector<std::string> inputDeviceNames() override { return devices_.inputDeviceNames(); }
    std::unique_ptr<CaptureStream> openCapture(int device, CaptureRing& ring, AudioError& error) override;
    std::unique_ptr<PlayStream> openPlayback(AudioError& error) override { return devices_.openPlayback(error); }

    const std::string& path() const { return path_; }

private:
    std::string path_;
    AudioBackend& devices_;
};

}  // namespace sondeco
