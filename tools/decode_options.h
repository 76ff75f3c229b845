// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-decode's command line: its usage texts, its options as declared to CLI11, and the checks of
// what only their combination can tell. Apart from the program, so that a fuzz target can throw any
// command line at the same code the program runs.
#pragma once

#include "audio/audio_format.h"
#include "audio/iq_input.h"
#include "audio/raw_stream.h"
#include "output/decoded_output.h"
#include "output/feed_options.h"
#include "output/output_feeds.h"
#include "tools/command_line.h"

#include <optional>
#include <string>
#include <vector>

namespace sondeco {

extern const char* const DecodeShortUsage;
// The whole usage, --help's text.
const std::string& decodeUsage();

struct DecodeOptions {
    std::optional<int> rate;  // -r as given
    std::optional<double> hertz;  // -f as given
    int decFreqPos = 80;
    bool decBitRate = true;
    bool classic = false;
    std::optional<double> toneHint;  // enhanced: -f
    std::optional<int> rateHint;  // enhanced: -r
    bool raw = false;
    RawAudioFormat rawFormat;  // s16 stereo at 48000 Hz unless --format, --channels or --sample-rate say otherwise
    std::optional<RawSampleFormat> rawSample;
    std::optional<int> rawChannels;
    std::optional<int> rawSampleRate;
    int channel = 1;  // counted from 1, as the user gives it
    bool rtcm = false;
    bool stats = false;
    OutputFormat format = OutputFormat::Pages;
    std::optional<std::string> outputName;  // -o as given
    bool table = false;  // -o table, or its default
    std::optional<std::string> formatName;  // --format as given: raw audio's or IQ's
    bool iq = false;
    bool scan = false;
    std::optional<double> centreFrequency;
    double clockErrorPpm = 0.0;  // --ppm: the SDR's clock error
    std::optional<double> startTime;  // --start-time: when the recording began, seconds since the Unix epoch
    std::optional<IqFormat> iqFormat;
    std::string logPath;
    std::string input = "-";
    FeedOptionValues feedValues;  // as given; checkDecodeOptions reads them into `feeds`
    FeedSettings feeds;
    std::string stationsLog;  // --stations: only list the stations of this log
    bool realtime = false;
    bool loop = false;
    std::optional<int> stationId;  // --station
    std::optional<double> stationFrequency;  // --station-freq
};

// Declares every option of sondeco-decode into `app`, storing into `options`.
void declareDecodeOptions(CLI::App& app, DecodeOptions& options);
// After parsing: checks what the declarations cannot (options that exclude or need each other) and
// works out the settings they stand for. Throws UsageError with the sentence to show.
void checkDecodeOptions(DecodeOptions& options);

}  // namespace sondeco
