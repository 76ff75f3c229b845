// SPDX-License-Identifier: GPL-3.0-or-later
// Any sample rate to the receiver's 48000 Hz (or any other), through libsoxr. Very high quality:
// flat to 0.01 dB up to 91 % of the lower rate's Nyquist frequency (3.65 kHz for 8000 Hz audio, far
// above the 500 to 1000 Hz a beacon's tone takes), linear phase and no delay, so that a recording
// at 44.1 kHz decodes as well as one at 48 kHz.
#pragma once

#include <string>
#include <vector>

struct soxr;  // libsoxr's resampler, kept out of this header

namespace sondeco {

class Resampler {
public:
    Resampler() = default;
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;
    ~Resampler();

    // On failure says why ("cannot be resampled: ...").
    bool open(double inputRate, double outputRate, int channels, std::string& error);
    // Appends the output for `frames` interleaved input frames to `output`.
    void process(const double* interleaved, std::size_t frames, std::vector<double>& output);
    // The input has ended: appends what is still inside the filter.
    void finish(std::vector<double>& output);
    // Ready for a fresh signal at the same rates.
    void clear();

private:
    soxr* resampler_ = nullptr;
    double ratio_ = 1.0;
    std::size_t channels_ = 1;
    std::vector<double> scratch_;
};

}  // namespace sondeco
