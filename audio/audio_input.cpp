// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/audio_input.h"

#include <algorithm>
#include <cmath>

namespace sondeco {
namespace {

constexpr double FullScale = 32768.0;

// A float file may hold anything. Samples that are not numbers become silence and those beyond a
// thousand times full scale are held there, so that one bad sample poisons neither the resampler's
// filter nor the demodulator's.
double sane(double sample) {
    if (!std::isfinite(sample)) return 0.0;
    return std::clamp(sample * FullScale, -1000.0 * FullScale, 1000.0 * FullScale);
}

// Frames to read at once: 100 ms at 48 kHz, but never more than 128 k samples (a megabyte) however
// many channels the input has.
// At most a tenth of a second: a read from a live pipe waits for the whole block, and a frame's last
// bit must not wait for more audio than that (4800 frames of 8 kHz audio would hold it 0.6 s).
std::size_t framesPerBlock(int channels, int rate) {
    const std::size_t tenth = std::max<std::size_t>(1, static_cast<std::size_t>(rate) / 10);
    return std::max<std::size_t>(1, std::min({std::size_t{4800}, tenth, (std::size_t{1} << 17) / static_cast<std::size_t>(channels)}));
}

std::string rawName(RawSampleFormat format) { return "raw " + nameOf(format); }

std::size_t rawFrameBytes(const RawAudioFormat& format) {
    return static_cast<std::size_t>(bytesPerSample(format.sample)) * static_cast<std::size_t>(format.channels);
}

// "frame of 2 channels of s16 (4 bytes)", or "s16 sample (2 bytes)" when a frame is one.
std::string rawFrameName(const RawAudioFormat& format) {
    const std::string& sample = nameOf(format.sample);
    const std::size_t bytes = rawFrameBytes(format);
    const std::string size = " (" + std::to_string(bytes) + (bytes == 1 ? " byte)" : " bytes)");
    if (format.channels == 1) return sample + " sample" + size;
    return "frame of " + std::to_string(format.channels) + " channels of " + sample + size;
}

}  // namespace

bool AudioInput::start(int channels, int rate, ChannelChoice choice, std::string& error) {
    if (channels < 1) {
        error = "has no channels";
        return false;
    }
    if (rate < LowestRate || rate > HighestRate) {
        error = "is sampled at " + std::to_string(rate) + " Hz; " + std::to_string(LowestRate) + " to " + std::to_string(HighestRate) +
                " Hz are supported";
        return false;
    }
    if (choice.first < 0 || choice.first >= channels) {
        error = "has " + std::to_string(channels) + (channels == 1 ? " channel" : " channels") + "; there is no channel " +
                std::to_string(static_cast<long long>(choice.first) + 1);
        return false;
    }
    inputChannels_ = channels;
    inputRate_ = rate;
    first_ = static_cast<std::size_t>(choice.first);
    picked_ = static_cast<std::size_t>(std::clamp(choice.count, 1, channels - choice.first));
    resampling_ = rate != OutputRate;
    if (resampling_ && !resampler_.open(rate, OutputRate, static_cast<int>(picked_), error)) return false;
    block_.resize(framesPerBlock(channels, rate) * static_cast<std::size_t>(channels));
    ready_.clear();
    readyFrom_ = 0;
    finished_ = false;
    error_.clear();
    return true;
}

bool AudioInput::startFile(bool opened, ChannelChoice choice, std::string& error) {
    if (!opened) return false;
    formatName_ = file_.info().format;
    announcedFrames_ = file_.info().frames;
    if (start(file_.info().channels, file_.info().sampleRate, choice, error)) return true;
    file_.close();
    return false;
}

bool AudioInput::openFile(const std::string& path, ChannelChoice channels, std::string& error) {
    raw_.close();
    isRaw_ = false;
    inputChannels_ = 0;
    return startFile(file_.open(path, error), channels, error);
}

bool AudioInput::openFileDescriptor(int descriptor, ChannelChoice channels, std::string& error) {
    raw_.close();
    isRaw_ = false;
    inputChannels_ = 0;
    return startFile(file_.openDescriptor(descriptor, error), channels, error);
}

bool AudioInput::openFileInMemory(std::string_view bytes, ChannelChoice channels, std::string& error) {
    raw_.close();
    isRaw_ = false;
    inputChannels_ = 0;
    return startFile(file_.openMemory(bytes, error), channels, error);
}

// What a raw input by name and one by stream have in common: the format, and the channels chosen.
bool AudioInput::startRaw(const RawAudioFormat& format, ChannelChoice channels, std::string& error) {
    inputChannels_ = 0;
    file_.close();
    isRaw_ = true;
    rawFormat_ = format.sample;
    formatName_ = rawName(format.sample);
    announcedFrames_ = -1;
    return start(format.channels, format.sampleRate, channels, error);
}

bool AudioInput::openRaw(const std::string& path, const RawAudioFormat& format, ChannelChoice channels, std::string& error) {
    if (!startRaw(format, channels, error)) return false;
    return raw_.open(path, rawFrameBytes(format), rawFrameName(format), error);
}

bool AudioInput::openRawStream(std::FILE* stream, bool owned, const RawAudioFormat& format, ChannelChoice channels, std::string& error) {
    if (!startRaw(format, channels, error)) {
        if (owned) std::fclose(stream);
        return false;
    }
    raw_.openStream(stream, owned, rawFrameBytes(format), rawFrameName(format));
    return true;
}

std::size_t AudioInput::readSource(double* interleaved, std::size_t frames) {
    if (!isRaw_) return file_.readFrames(interleaved, frames);
    const unsigned char* bytes = nullptr;
    const std::size_t got = raw_.readFrames(frames, bytes);
    decodeRawSamples(rawFormat_, bytes, got * static_cast<std::size_t>(inputChannels_), interleaved);
    return got;
}

void AudioInput::refill() {
    ready_.clear();
    readyFrom_ = 0;
    const auto channels = static_cast<std::size_t>(inputChannels_);
    const std::size_t frames = readSource(block_.data(), block_.size() / channels);
    if (frames == 0) {
        finished_ = true;
        error_ = isRaw_ ? raw_.error() : file_.error();
        // The end of the audio, or of what came before the damage: the filter's tail belongs to it.
        if (resampling_) resampler_.finish(ready_);
        return;
    }
    chosen_.resize(frames * picked_);
    for (std::size_t n = 0; n < frames; ++n)
        for (std::size_t c = 0; c < picked_; ++c) chosen_[n * picked_ + c] = sane(block_[n * channels + first_ + c]);
    if (resampling_) {
        resampler_.process(chosen_.data(), frames, ready_);
    } else {
        ready_.swap(chosen_);
    }
}

std::size_t AudioInput::read(std::span<double> destination) {
    if (inputChannels_ == 0) return 0;
    const std::size_t wanted = destination.size() / picked_;
    std::size_t done = 0;
    while (done < wanted) {
        const std::size_t available = (ready_.size() - readyFrom_) / picked_;
        if (available == 0) {
            if (finished_) break;
            refill();
            continue;
        }
        const std::size_t n = std::min(available, wanted - done);
        std::copy_n(ready_.begin() + static_cast<std::ptrdiff_t>(readyFrom_), n * picked_,
                    destination.begin() + static_cast<std::ptrdiff_t>(done * picked_));
        readyFrom_ += n * picked_;
        done += n;
    }
    return done;
}

bool AudioInput::rewind() {
    if (isRaw_ || !file_.rewind()) return false;
    resampler_.clear();
    ready_.clear();
    readyFrom_ = 0;
    finished_ = false;
    error_.clear();
    return true;
}

}  // namespace sondeco
