// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/iq_input.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace sondeco {
namespace {

// As for audio: what is not a number becomes nothing, and nothing is let grow without bound.
float sane(double value) { return std::isfinite(value) ? static_cast<float>(std::clamp(value, -1000.0, 1000.0)) : 0.0f; }

constexpr std::size_t SamplesPerBlock = 1 << 16;

// "cs16 IQ sample (4 bytes)", for the report of a stream that ends part-way through one.
std::string sampleName(IqFormat format) {
    const char* name = format == IqFormat::Cu8 ? "cu8" : format == IqFormat::Cs8 ? "cs8" : format == IqFormat::Cs16 ? "cs16" : "cf32";
    return std::string(name) + " IQ sample (" + std::to_string(bytesPerIqSample(format)) + " bytes)";
}

}  // namespace

bool IqInput::openRaw(const std::string& path, IqFormat format, int sampleRate, std::string& error) {
    file_.close();
    kiwi_.close();
    open_ = false;
    if (sampleRate < 1) {
        error = "needs a sample rate of 1 Hz or more";
        return false;
    }
    if (!raw_.open(path, static_cast<std::size_t>(bytesPerIqSample(format)), sampleName(format), error)) return false;
    startRaw(format, sampleRate);
    return true;
}

bool IqInput::openRawStream(std::FILE* stream, bool owned, IqFormat format, int sampleRate, std::string& error) {
    file_.close();
    kiwi_.close();
    open_ = false;
    if (sampleRate < 1) {
        error = "needs a sample rate of 1 Hz or more";
        if (owned) std::fclose(stream);
        return false;
    }
    raw_.openStream(stream, owned, static_cast<std::size_t>(bytesPerIqSample(format)), sampleName(format));
    startRaw(format, sampleRate);
    return true;
}

void IqInput::startRaw(IqFormat format, int sampleRate) {
    source_ = Source::Raw;
    open_ = true;
    format_ = format;
    sampleRate_ = sampleRate;
    switch (format) {
        case IqFormat::Cu8:
            fullScale_ = 1.0f;
            break;  // codes 0 and 255
        case IqFormat::Cs8:
            fullScale_ = 127.0f / 128.0f;
            break;
        case IqFormat::Cs16:
            fullScale_ = 32767.0f / 32768.0f;
            break;
        case IqFormat::Cf32:
            fullScale_ = std::numeric_limits<float>::infinity();
            break;  // no end to its range
    }
    startCounting();
}

bool IqInput::openFile(const std::string& path, std::string& error) {
    raw_.close();
    file_.close();
    kiwi_.close();
    open_ = false;
    // Standard input is left to libsndfile: its first bytes cannot be looked at and given back.
    if (path != "-" && isKiwiWavFile(path)) return kiwi_.open(path, error) && startKiwi();
    if (file_.open(path, error)) return checkFile(error);
    // Most IQ recordings that are not sound files are raw samples (rtl_sdr's .cu8, .cs16, ...).
    if (error.starts_with("is not a sound file")) error += "; raw IQ samples need --format and --sample-rate";
    return false;
}

bool IqInput::openFileInMemory(std::string_view bytes, std::string& error) {
    raw_.close();
    file_.close();
    kiwi_.close();
    open_ = false;
    if (isKiwiWav(bytes)) return kiwi_.openMemory(bytes, error) && startKiwi();
    return file_.openMemory(bytes, error) && checkFile(error);
}

bool IqInput::startKiwi() {
    source_ = Source::KiwiWav;
    open_ = true;
    fullScale_ = 32767.0f / 32768.0f;
    sampleRate_ = kiwi_.sampleRate();
    startCounting();
    return true;
}

bool IqInput::checkFile(std::string& error) {
    if (file_.info().channels != 2) {
        error = "has " + std::to_string(file_.info().channels) + (file_.info().channels == 1 ? " channel" : " channels") +
                "; IQ needs two (I left, Q right)";
        file_.close();
        return false;
    }
    source_ = Source::SoundFile;
    open_ = true;
    // libsndfile reads integer samples to +-1, the largest positive code just under 1; floats have no
    // end to their range.
    const std::string& format = file_.info().format;
    fullScale_ = format.find("Float") != std::string::npos || format.find("float") != std::string::npos
                     ? std::numeric_limits<float>::infinity()
                     : 32767.0f / 32768.0f;
    sampleRate_ = file_.info().sampleRate;
    startCounting();
    return true;
}

void IqInput::startCounting() {
    error_.clear();
    samplesRead_ = 0;
    clippedSamples_ = 0;
    sumI_ = sumQ_ = sumII_ = sumQQ_ = sumIQ_ = 0.0;
}

std::size_t IqInput::read(std::span<std::complex<float>> destination) {
    if (!open_) return 0;
    std::size_t done = 0;
    while (done < destination.size()) {
        const std::size_t wanted = std::min(destination.size() - done, SamplesPerBlock);
        std::size_t got = 0;
        if (source_ == Source::Raw) {
            const unsigned char* bytes = nullptr;
            got = raw_.readFrames(wanted, bytes);
            decodeIqSamples(format_, bytes, got, destination.data() + done);
            for (std::size_t i = done; i < done + got; ++i) destination[i] = {sane(destination[i].real()), sane(destination[i].imag())};
        } else if (source_ == Source::KiwiWav) {
            got = kiwi_.read(destination.data() + done, wanted);  // 16-bit codes: always within +-1
        } else {
            block_.resize(2 * wanted);
            got = file_.readFrames(block_.data(), wanted);
            for (std::size_t i = 0; i < got; ++i) destination[done + i] = {sane(block_[2 * i]), sane(block_[2 * i + 1])};
        }
        if (got == 0) {
            error_ = source_ == Source::Raw ? raw_.error() : source_ == Source::KiwiWav ? kiwi_.error() : file_.error();
            break;
        }
        account(destination.subspan(done, got));
        done += got;
    }
    return done;
}

// Clipping and the sums for the DC offset and the imbalance, in one pass over a block just decoded
// (still in the cache).
void IqInput::account(std::span<const std::complex<float>> samples) {
    const float edge = fullScale_ * (1.0f - 1e-6f);
    double i = 0.0, q = 0.0, ii = 0.0, qq = 0.0, iq = 0.0;
    for (const std::complex<float>& sample : samples) {
        clippedSamples_ += std::fabs(sample.real()) >= edge || std::fabs(sample.imag()) >= edge;
        const double re = sample.real();
        const double im = sample.imag();
        i += re;
        q += im;
        ii += re * re;
        qq += im * im;
        iq += re * im;
    }
    sumI_ += i;
    sumQ_ += q;
    sumII_ += ii;
    sumQQ_ += qq;
    sumIQ_ += iq;
    samplesRead_ += samples.size();
}

std::complex<double> IqInput::dcOffset() const {
    if (samplesRead_ == 0) return {};
    const auto n = static_cast<double>(samplesRead_);
    return {sumI_ / n, sumQ_ / n};
}

std::optional<IqImbalance> IqInput::imbalance() const {
    if (samplesRead_ < 2) return std::nullopt;
    const auto n = static_cast<double>(samplesRead_);
    const std::complex<double> dc = dcOffset();
    // Variances and covariance about the mean: the DC offset is the receiver's other fault, not this one.
    const double varianceI = sumII_ / n - dc.real() * dc.real();
    const double varianceQ = sumQQ_ / n - dc.imag() * dc.imag();
    const double covariance = sumIQ_ / n - dc.real() * dc.imag();
    if (!(varianceI > 0.0 && varianceQ > 0.0)) return std::nullopt;
    const double gain = std::sqrt(varianceI / varianceQ);  // amplitude ratio
    const double phase = std::asin(std::clamp(covariance / std::sqrt(varianceI * varianceQ), -1.0, 1.0));
    // A tone comes out at its own frequency as |g + e^{j phi}| / 2 and mirrored as |g - e^{-j phi}| / 2:
    // the powers' ratio is (1 + 2g cos phi + g^2) / (1 - 2g cos phi + g^2), its denominator written
    // here as a sum of squares so that a well-balanced receiver's does not vanish in rounding.
    const double halfSine = std::sin(phase / 2.0);
    const double wanted = 1.0 + 2.0 * gain * std::cos(phase) + gain * gain;
    const double image = (1.0 - gain) * (1.0 - gain) + 4.0 * gain * halfSine * halfSine;
    IqImbalance result;
    result.gainDb = 20.0 * std::log10(gain);
    result.phaseDegrees = phase * 180.0 / std::numbers::pi;
    result.imageRejectionDb = image > 0.0 ? 10.0 * std::log10(wanted / image) : std::numeric_limits<double>::infinity();
    return result;
}

}  // namespace sondeco
