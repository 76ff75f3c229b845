// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/monitor_player.h"

#include <algorithm>
#include <cmath>

namespace sondeco {

bool MonitorPlayer::openPlayDevice(AudioBackend& audio, AudioError& error) {
    closePlayDevice();
    stream_ = audio.openPlayback(error);
    PlayIndex = 0;
    return stream_ != nullptr;
}

void MonitorPlayer::closePlayDevice() {
    if (!stream_) return;
    stream_->reset();
    stream_.reset();
    PlayIndex = 0;
}

void MonitorPlayer::writeMonitorBuffer() {
    if (!stream_) return;
    if (!stream_->write(MonitorBuffer.data(), FramesPerBuffer)) ++dropped_;
    PlayIndex = (PlayIndex + 1) % PlayBufferCount;
}

void MonitorPlayer::queueSilence() {
    MonitorBuffer.fill(0);
    writeMonitorBuffer();
}

void MonitorPlayer::queueLeftChannel(std::span<const double, FramesPerBuffer> left) {
    for (std::size_t n = 0; n < left.size(); ++n) {
        // The samples came from 16-bit values, so they fit; the clamp only guards odd callers.
        const auto sample = static_cast<std::int16_t>(std::clamp(left[n], -32768.0, 32767.0));
        MonitorBuffer[2 * n] = sample;
        MonitorBuffer[2 * n + 1] = sample;
    }
    writeMonitorBuffer();
}

}  // namespace sondeco
