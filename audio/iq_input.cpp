// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/iq_input.h"

#include <algorithm>
#include <cmath>
#include <limits>

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
    isRaw_ = true;
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
    error_.clear();
}

bool IqInput::openFile(const std::string& path, std::string& error) {
    raw_.close();
    open_ = false;
    if (file_.open(path, error)) return checkFile(error);
    // Most IQ recordings that are not sound files are raw samples (rtl_sdr's .cu8, .cs16, ...).
    if (error.starts_with("is not a sound file")) error += "; raw IQ samples need --format and --sample-rate";
    return false;
}

bool IqInput::openFileInMemory(std::string_view bytes, std::string& error) {
    raw_.close();
    open_ = false;
    return file_.openMemory(bytes, error) && checkFile(error);
}

bool IqInput::checkFile(std::string& error) {
    if (file_.info().channels != 2) {
        error = "has " + std::to_string(file_.info().channels) + (file_.info().channels == 1 ? " channel" : " channels") +
                "; IQ needs two (I left, Q right)";
        file_.close();
        return false;
    }
    isRaw_ = false;
    open_ = true;
    // libsndfile reads integer samples to +-1, the largest positive code just under 1; floats have no
    // end to their range.
    const std::string& format = file_.info().format;
    fullScale_ = format.find("Float") != std::string::npos || format.find("float") != std::string::npos
                     ? std::numeric_limits<float>::infinity()
                     : 32767.0f / 32768.0f;
    sampleRate_ = file_.info().sampleRate;
    error_.clear();
    return true;
}

std::size_t IqInput::read(std::span<std::complex<float>> destination) {
    if (!open_) return 0;
    std::size_t done = 0;
    while (done < destination.size()) {
        const std::size_t wanted = std::min(destination.size() - done, SamplesPerBlock);
        std::size_t got = 0;
        if (isRaw_) {
            const unsigned char* bytes = nullptr;
            got = raw_.readFrames(wanted, bytes);
            decodeIqSamples(format_, bytes, got, destination.data() + done);
            for (std::size_t i = done; i < done + got; ++i) destination[i] = {sane(destination[i].real()), sane(destination[i].imag())};
        } else {
            block_.resize(2 * wanted);
            got = file_.readFrames(block_.data(), wanted);
            for (std::size_t i = 0; i < got; ++i) destination[done + i] = {sane(block_[2 * i]), sane(block_[2 * i + 1])};
        }
        if (got == 0) {
            error_ = isRaw_ ? raw_.error() : file_.error();
            break;
        }
        countClipping(destination.subspan(done, got));
        done += got;
    }
    return done;
}

void IqInput::countClipping(std::span<const std::complex<float>> samples) {
    const float edge = fullScale_ * (1.0f - 1e-6f);
    for (const std::complex<float>& sample : samples)
        clippedSamples_ += std::fabs(sample.real()) >= edge || std::fabs(sample.imag()) >= edge;
    samplesRead_ += samples.size();
}

}  // namespace sondeco
