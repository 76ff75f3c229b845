// SPDX-License-Identifier: GPL-3.0-or-later
// "Monitor": the captured left channel played on the system's default output, on both channels, so the
// user can listen to the beacon while tuning. The play device is opened once at start-up and stays open;
// the tool-bar button only decides whether buffers are written to it.
#pragma once

#include "audio/audio_backend.h"
#include "audio/audio_format.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace sondeco {

class MonitorPlayer {
public:
    static constexpr int PlayBufferCount = 8;  // 800 ms of audio in flight at most

    // Opens the default output. On failure the player stays closed and says why.
    bool openPlayDevice(AudioBackend& audio, AudioError& error);
    void closePlayDevice();
    bool isOpen() const { return stream_ != nullptr; }

    // Queues MonitorBuffer. Buffers are handed over in turn without waiting for earlier ones to finish;
    // when the output has fallen 8 buffers behind, the new one is dropped rather than blocking capture.
    void writeMonitorBuffer();

    // 100 ms of silence ahead of the first monitored buffer, so playback starts without a click.
    void queueSilence();
    // The left channel of a captured buffer on both output channels.
    void queueLeftChannel(std::span<const double, FramesPerBuffer> left);

    std::array<std::int16_t, SamplesPerBuffer> MonitorBuffer{};
    int PlayIndex = 0;  // the buffer written next, 0..7
    std::uint64_t droppedBuffers() const { return dropped_; }

private:
    std::unique_ptr<PlayStream> stream_;
    std::uint64_t dropped_ = 0;
};

}  // namespace sondeco
