// SPDX-License-Identifier: GPL-3.0-or-later
// The one audio format Sondeco captures and plays: 48000 Hz, 16-bit, stereo PCM in 100 ms buffers.
// Plain constants only, so the decoder libraries and the tools can share them without PortAudio.
#pragma once

#include <cstdint>

namespace sondeco {

struct WaveFormatRecord {
    int formatTag = 1;  // PCM
    int channels = 2;
    int samplesPerSecond = 48000;
    int averageBytesPerSecond = 192000;
    int blockAlignment = 4;
    int bitsPerSample = 16;
    int extraSize = 0;
};

inline constexpr WaveFormatRecord WaveFormat{};
inline constexpr int SampleRate = 48000;
inline constexpr int CaptureChannels = 2;
inline constexpr int FramesPerBuffer = 4800;  // 100 ms
inline constexpr int BufferBytes = (16 / 8) * CaptureChannels * FramesPerBuffer;  // 19200
inline constexpr int SamplesPerBuffer = CaptureChannels * FramesPerBuffer;  // interleaved int16 values

}  // namespace sondeco
