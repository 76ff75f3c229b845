// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-gen's command line: its usage text, its options as declared to CLI11, and the checks of what
// only their combination can tell, with the band's signals worked out from them. Apart from the
// program, so that a fuzz target can throw any command line at the same code the program runs.
#pragma once

#include "signalgen/band_signal.h"
#include "tools/command_line.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sondeco {

extern const char* const GenUsage;

struct GenOptions {
    int bitRate = 200;
    double driftHzPerSecond = 0.0;
    std::vector<double> staticBursts;  // bursts a second, peak dB
    std::optional<std::string> fadingText;  // as given: "DEPTH_DB,PERIOD_S" or "rayleigh,DOPPLER_HZ"
    std::vector<double> fading;  // depth dB, period s
    double rayleighDopplerHz = 0.0;
    double centreFrequency = 800.0;
    double seconds = 30.0;
    std::optional<int> stationId;
    std::optional<std::vector<int>> messageTypes;
    std::optional<int> zCount;
    std::optional<double> ebN0Db;
    double frequencyOffset = 0.0;
    double clockErrorPpm = 0.0;
    double leadingSeconds = 0.0;
    std::uint64_t seed = 1;
    bool randomContents = false;  // data words drawn from the seed instead of plausible contents
    std::optional<std::string> rtcmFile;
    std::string output;
    std::string typeList;  // --types as given

    // The band: several beacons and carriers, complex or audio.
    bool iq = false;
    std::optional<double> bandCentre;  // --center-freq
    std::optional<int> sampleRate;
    std::optional<std::string> format;
    std::vector<std::string> beaconTexts;
    std::vector<std::string> carrierTexts;
    BandSettings band;  // filled in by checkOptions for the band
    bool isBand() const { return iq || !beaconTexts.empty() || !carrierTexts.empty(); }
    bool writesWav() const { return !iq || endsWithWav(output); }
    static bool endsWithWav(const std::string& name) {
        if (name.size() < 4) return false;
        std::string end = name.substr(name.size() - 4);
        for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return end == ".wav";
    }
};

// Where in the GPS hour it is now: where generated frames start their Z-count unless told.
double gpsSecondsIntoHour();

// Declares every option of sondeco-gen into `app`, storing into `options`.
void declareGenOptions(CLI::App& app, GenOptions& options);
// After `app` has parsed: checks what the declarations cannot and fills in the band. Throws
// UsageError with the sentence to show.
void checkGenOptions(GenOptions& options, const CLI::App& app);

}  // namespace sondeco
