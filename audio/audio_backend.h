// SPDX-License-Identifier: GPL-3.0-or-later
// The audio system as the windows see it: a list of input devices, a capture stream that fills the
// capture ring, and a play stream for the monitor. PortAudio stands behind it in the program, a WAV
// file behind `--input`, and a scripted source in the tests.
#pragma once

#include "audio/capture_ring.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sondeco {

// An open capture stream; closing (or destroying) it stops the producer before it returns, so the
// ring may be reset afterwards.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // False once the stream has stopped by itself (device unplugged, end of a non-looping source).
    virtual bool isRunning() const = 0;
    virtual int channels() const = 0;
};

// An open play stream taking 16-bit stereo frames at 48000 Hz.
class PlayStream {
public:
    virtual ~PlayStream() = default;
    // Queues `frames` interleaved stereo frames; never blocks. False if they could not be queued.
    virtual bool write(const std::int16_t* interleaved, int frames) = 0;
    // Drops everything queued and not yet played.
    virtual void reset() = 0;
};

// Why a stream could not be opened: the device itself, or the buffers it needs.
struct AudioError {
    enum class Kind { OpenFailed, BufferFailed };
    Kind kind = Kind::OpenFailed;
    std::string detail;  // a short reason for logs and file errors
};

class AudioBackend {
public:
    virtual ~AudioBackend() = default;

    // Names of the capture devices, in the order the device list shows them.
    virtual std::vector<std::string> inputDeviceNames() = 0;

    // Opens capture. `device` is -1 for the system's default input, else a position in
    // inputDeviceNames(). On failure returns null and says why in `error`.
    virtual std::unique_ptr<CaptureStream> openCapture(int device, CaptureRing& ring, AudioError& error) = 0;

    // Opens the system's default output for the monitor.
    virtual std::unique_ptr<PlayStream> openPlayback(AudioError& error) = 0;
};

}  // namespace sondeco
