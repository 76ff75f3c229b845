// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-decode's band monitor: every beacon of an SDR's IQ stream, or of audio holding several
// beacons, decoded at once, written as pages (a block per station), frame lines, JSON, RTCM or a live
// station table, and logged to SQLite.
#pragma once

#include "audio/audio_format.h"
#include "audio/raw_stream.h"
#include "band/band_monitor.h"
#include "output/decoded_output.h"
#include "output/output_feeds.h"

#include <optional>
#include <string>

namespace sondeco {

struct BandDecodeSettings {
    BandInput input = BandInput::Iq;
    std::string path = "-";  // "-" is standard input
    // IQ: raw samples in this format at this rate, or (without a format) a two-channel sound file.
    std::optional<IqFormat> iqFormat;
    int iqSampleRate = 0;
    std::optional<double> centreFrequencyHz;
    double clockErrorPpm = 0.0;
    std::optional<double> startTime;  // when the stream began, seconds since the Unix epoch, if the user said
    // Audio: raw or a sound file, and the channel to search (from 0).
    bool rawAudio = false;
    RawAudioFormat rawAudioFormat;
    int audioChannel = 0;
    // The output: a decoded-output format, or the live station table.
    std::optional<OutputFormat> format;  // empty: the station table
    std::string logPath;  // empty: no log
    FeedSettings feeds;  // its station choice also holds for RTCM on standard output
    bool statistics = false;
    bool realtime = false;  // at the stream's own pace
    bool loop = false;  // again from the start at the end of the file
};

// Lowest and highest IQ sample rates taken.
inline constexpr int LowestIqRate = 8000;  // KiwiSDR IQ is 12000 or 20250
inline constexpr int HighestIqRate = 10000000;

// Runs to the end of the input; the exit status, with problems on standard error.
int runBandDecode(const BandDecodeSettings& settings);

}  // namespace sondeco
