// SPDX-License-Identifier: GPL-3.0-or-later
// How a headless run ends: every failure named on standard error, once, with what failed, and the
// exit status that tells a script the truth. A stop the user asked for and a reader that went away
// from a pipe (`| head`) are not failures; a full disk, a closed file, a serial port that went away
// for good, or a correction stream that would have had to mix two stations are.
#pragma once

#include "output/decoded_output.h"
#include "output/output_feeds.h"

#include <string>
#include <vector>

namespace sondeco {

struct RunOutcome {
    std::string inputName;  // "standard input" or the path
    std::string inputProblem;  // a sentence that follows the input's name; empty when it ended well
    const DecodedStreamWriter* output = nullptr;  // standard output's writer, when one was used
    bool outputFailed = false;  // standard output failed another way (the station table)
    int outputErrorNumber = 0;
    const OutputFeeds* feeds = nullptr;
    std::vector<std::string> otherProblems;  // already worded (the frame log's, a station conflict's)
};

// The problem of a correction stream that heard a second station: `conflict` names the stream as the
// user gave it and the two stations ("-o rtcm: station 55 on 301.0 kHz besides station 12 on ...").
std::string stationConflictProblem(const std::string& conflict);

// Writes each problem as "sondeco-decode: ..." and returns 1 if there was one, else 0.
int reportOutcome(const RunOutcome& outcome);

// Whether the run should stop now although its input goes on: a stop was asked for, standard output
// failed, or a correction stream heard a second station that nobody chose between.
bool runMustStop(const DecodedStreamWriter* output, const OutputFeeds& feeds);

}  // namespace sondeco
