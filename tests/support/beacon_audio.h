// Generated beacon signal cut into capture buffers (4800 interleaved stereo frames, signal on the left),
// for tests that feed the program's capture path.
#pragma once

#include "audio_format.h"
#include "msk_modulator.h"
#include "simulated_beacon.h"

#include <optional>
#include <vector>

namespace sondeco::testing {

struct BeaconAudioSettings {
    double seconds = 10.0;
    int bitRate = 200;
    double centreFrequency = 800.0;
    std::optional<double> ebN0Db = 30.0;
    int stationId = 491;
    std::vector<int> messageTypes = defaultMessageTypes();
    std::int16_t rightChannel = 0;  // a constant for the right channel, to tell the channels apart
};

inline std::vector<std::vector<std::int16_t>> beaconBuffers(const BeaconAudioSettings& settings) {
    BeaconSettings station;
    station.bitRate = settings.bitRate;
    station.stationId = settings.stationId;
    station.messageTypes = settings.messageTypes;
    station.startSecondsIntoHour = 600.0;
    SimulatedBeacon beacon(station);
    std::vector<std::uint8_t> bits;
    while (static_cast<double>(bits.size()) < (settings.seconds + 1.0) * settings.bitRate) beacon.appendNextFrame(bits);

    MskSettings transmitter;
    transmitter.bitRate = settings.bitRate;
    transmitter.centreFrequency = settings.centreFrequency;
    transmitter.ebN0Db = settings.ebN0Db;
    MskModulator modulator(transmitter);
    modulator.pushBits(bits);

    std::vector<std::vector<std::int16_t>> buffers;
    std::vector<double> samples(FramesPerBuffer);
    for (int i = 0; i < static_cast<int>(settings.seconds * 10); ++i) {
        modulator.render(samples);
        std::vector<std::int16_t> buffer(SamplesPerBuffer);
        for (std::size_t n = 0; n < samples.size(); ++n) {
            buffer[2 * n] = toPcm16(samples[n]);
            buffer[2 * n + 1] = settings.rightChannel;
        }
        buffers.push_back(std::move(buffer));
    }
    return buffers;
}

}  // namespace sondeco::testing
