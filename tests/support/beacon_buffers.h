// SPDX-License-Identifier: GPL-3.0-or-later
// Generated beacon signal cut into capture buffers (4800 interleaved stereo frames, signal on the left),
// for tests that feed the program's capture path.
#pragma once

#include "audio/audio_format.h"
#include "signalgen/beacon_audio.h"

#include <optional>
#include <vector>

namespace sondeco::testing {

struct BeaconAudioSettings {
    double seconds = 10.0;
    int bitRate = 200;
    double centreFrequency = 800.0;
    std::optional<double> ebN0Db = 30.0;
};

inline std::vector<std::vector<std::int16_t>> beaconBuffers(const BeaconAudioSettings& settings) {
    BeaconSettings station;
    station.bitRate = settings.bitRate;
    station.startSecondsIntoHour = 600.0;
    MskSettings transmitter;
    transmitter.bitRate = settings.bitRate;
    transmitter.centreFrequency = settings.centreFrequency;
    transmitter.ebN0Db = settings.ebN0Db;
    BeaconAudio audio(station, transmitter);
    std::vector<std::vector<std::int16_t>> buffers(static_cast<std::size_t>(settings.seconds * 10),
                                                   std::vector<std::int16_t>(SamplesPerBuffer));
    for (auto& buffer : buffers) audio.render(buffer);
    return buffers;
}

}  // namespace sondeco::testing
