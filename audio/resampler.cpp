// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/resampler.h"

#include <soxr.h>

#include <cmath>

namespace sondeco {

Resampler::~Resampler() {
    if (resampler_ != nullptr) soxr_delete(resampler_);
}

bool Resampler::open(double inputRate, double outputRate, int channels, std::string& error) {
    if (resampler_ != nullptr) soxr_delete(resampler_);
    resampler_ = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, SOXR_LINEAR_PHASE);
    soxr_error_t problem = nullptr;
    resampler_ = soxr_create(inputRate, outputRate, static_cast<unsigned>(channels), &problem, &io, &quality, nullptr);
    if (resampler_ == nullptr || problem != nullptr) {
        error = std::string("cannot be resampled: ") + soxr_strerror(problem);
        if (resampler_ != nullptr) soxr_delete(resampler_);
        resampler_ = nullptr;
        return false;
    }
    ratio_ = outputRate / inputRate;
    channels_ = static_cast<std::size_t>(channels);
    return true;
}

void Resampler::process(const double* interleaved, std::size_t frames, std::vector<double>& output) {
    if (resampler_ == nullptr) return;
    scratch_.resize((static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * ratio_)) + 64) * channels_);
    const std::size_t room = scratch_.size() / channels_;
    std::size_t used = 0;
    for (;;) {
        std::size_t taken = 0;
        std::size_t made = 0;
        soxr_process(resampler_, interleaved + used * channels_, frames - used, &taken, scratch_.data(), room, &made);
        output.insert(output.end(), scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(made * channels_));
        used += taken;
        // Done once the input is taken and the filter has nothing more to give for it.
        if (used >= frames && made < room) break;
        if (taken == 0 && made == 0) break;
    }
}

void Resampler::finish(std::vector<double>& output) {
    if (resampler_ == nullptr) return;
    scratch_.resize(4096 * channels_);
    for (;;) {
        std::size_t made = 0;
        soxr_process(resampler_, nullptr, 0, nullptr, scratch_.data(), scratch_.size() / channels_, &made);
        if (made == 0) break;
        output.insert(output.end(), scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(made * channels_));
    }
}

void Resampler::clear() {
    if (resampler_ != nullptr) soxr_clear(resampler_);
}

}  // namespace sondeco
