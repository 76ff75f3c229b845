// SPDX-License-Identifier: GPL-3.0-or-later
// The message side of a pretend DGPS reference station: which frame comes next and what it says.
// Contents are plausible rather than true: real satellite numbers, corrections of a few metres that
// drift slowly (with range rates that match the drift), a real beacon's position and frequency, and
// a Z-count that follows the transmission time. Or, for measuring what a receiver lets through, drawn
// at random: every field of every word over its whole range.
#pragma once

#include "rtcm/rtcm_encoder.h"

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace sondeco {

// Message types the beacon can fill with content: 6 is the null frame (no data words).
bool isSimulatedMessageType(int messageType);
// A beacon's usual mix: type 9 most often, the others in turn between them.
std::vector<int> defaultMessageTypes();

struct BeaconSettings {
    int stationId = 491;  // reference station ID, 0..1023
    int stationHealth = 0;
    std::vector<int> messageTypes = defaultMessageTypes();  // cycled through in order
    // Time of the first frame, in seconds after the start of the GPS hour; frames after it are timed
    // by the bits sent before them at the nominal bit rate.
    double startSecondsIntoHour = 0.0;
    double bitRate = 200.0;
    // With a seed, the data words are drawn at random from it: each 24-bit word uniformly (so every
    // field takes every value its bits can hold, "not available" codes included), in a length the
    // type can have (a number of satellites, entries or characters), for any type 0..63 in the list.
    // One word in sixteen begins with the preamble or its inverse, so that false headers inside
    // frames are met often. The header (station, Z-count, sequence, health) stays as for a real
    // station. Without a seed, the plausible contents above.
    std::optional<std::uint64_t> randomContentSeed;
};

struct BeaconFrame {
    RtcmHeader header;
    std::vector<std::uint32_t> dataWords;  // 24 data bits each
};

class SimulatedBeacon {
public:
    // Throws std::invalid_argument for an empty type list or a type it cannot fill (any of 0..63
    // with random contents), a station ID outside 0..1023 or a rate that is not positive.
    explicit SimulatedBeacon(BeaconSettings settings);

    // The next frame, its Z-count taken at the moment its first bit goes out. Advances the schedule,
    // the sequence number (0..7) and the transmission clock.
    BeaconFrame nextFrame();
    // The next frame as transmitted bits, parity chained from the frame before.
    void appendNextFrame(std::vector<std::uint8_t>& bits);

    // Seconds since the first frame started at the nominal rate (the start of the next frame).
    double elapsedSeconds() const { return static_cast<double>(bitsSent_) / settings_.bitRate; }

private:
    std::vector<std::uint32_t> messageWords(int messageType, double secondsSinceHour);
    std::vector<std::uint32_t> randomWords(int messageType);

    BeaconSettings settings_;
    RtcmEncoder encoder_;
    std::size_t nextTypeIndex_ = 0;
    int sequenceNumber_ = 0;
    std::uint64_t bitsSent_ = 0;
    int gpsPartialSets_ = 0;  // type 9 frames so far: which group of satellites comes next
    int glonassPartialSets_ = 0;  // the same for type 34
    std::mt19937_64 random_;  // random contents only
};

}  // namespace sondeco
