// SPDX-License-Identifier: GPL-3.0-or-later
// How a headless run is steered from outside its input: the user's request to stop, and the real-time
// pace at which a recording stands in for a live beacon.
//
// SIGINT, SIGTERM and SIGHUP ask the decoder to stop: decoding ends at the next block, everything
// decoded is written whole, the summary is printed and the program exits 0, as at the end of its
// input. A second signal ends the program at once, as if it were not caught.
#pragma once

#include <chrono>
#include <cstdint>

namespace sondeco {

// Catches the three signals from now on. With `standardInputIsTheInput`, the first signal also
// puts /dev/null in the place of standard input, so that a read waiting for a silent pipe (a
// receiver that has stopped sending) ends at once as the end of the input instead of waiting for
// the writer. System calls are restarted after the handler, so a write to a slow reader is not
// cut short by the signal.
void stopOnSignals(bool standardInputIsTheInput);

// Whether a stop has been asked for.
bool stopRequested();

// Paces a recording at its own rate, so that gpsd, RTKLIB or a frame log fed from it see frames come
// as from the air: after each block, waits until the wall clock has caught up with the input's clock
// (a stop cuts the wait short). Measured from the first block, so that time lost to decoding is
// made up rather than added.
class RealTimePacer {
public:
    // `unitsPerSecond`: samples a second for audio and IQ, bytes a second for RTCM.
    explicit RealTimePacer(double unitsPerSecond);
    // `units` more have been taken from the input.
    void advance(std::uint64_t units);

private:
    double unitsPerSecond_;
    std::uint64_t taken_ = 0;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace sondeco
