// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/run_outcome.h"

#include "tools/run_control.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sondeco {
namespace {

void say(const std::string& problem) { std::fprintf(stderr, "sondeco-decode: %s\n", problem.c_str()); }

}  // namespace

std::string stationConflictProblem(const std::string& conflict) {
    return conflict + ": an RTCM stream carries the corrections of one station; choose one with --station ID or --station-freq HZ";
}

bool runMustStop(const DecodedStreamWriter* output, const OutputFeeds& feeds) {
    return stopRequested() || (output != nullptr && output->failed()) || !feeds.stationConflict().empty();
}

int reportOutcome(const RunOutcome& outcome) {
    int status = 0;
    const auto fail = [&status](const std::string& problem) {
        say(problem);
        status = 1;
    };
    // A read cut short by the user's stop is no fault of the input.
    if (!outcome.inputProblem.empty() && !stopRequested()) fail(outcome.inputName + " " + outcome.inputProblem);
    int outputError = outcome.outputFailed ? outcome.outputErrorNumber : 0;
    if (outcome.output != nullptr && outcome.output->failed()) outputError = outcome.output->errorNumber();
    if ((outcome.outputFailed || (outcome.output != nullptr && outcome.output->failed())) && outputError != EPIPE)
        fail(std::string("standard output cannot be written: ") + (outputError != 0 ? std::strerror(outputError) : "write failed"));
    if (outcome.feeds != nullptr) {
        if (const std::string conflict = outcome.feeds->stationConflict(); !conflict.empty()) fail(stationConflictProblem(conflict));
        if (outcome.feeds->serialPortAway()) {
            const SerialOutput& serial = *outcome.feeds->serial();
            fail("serial port " + serial.device() +
                 " went away and did not come back: " + std::to_string(serial.statistics().framesMissed) + " frames not sent");
        }
    }
    for (const std::string& problem : outcome.otherProblems) fail(problem);
    return status;
}

}  // namespace sondeco
