// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/sound_file_writer.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sondeco {
namespace {

// libsndfile's message without its decoration ("System error : No space left on device.").
std::string plain(const char* text) {
    std::string message = text != nullptr ? text : "unknown error";
    for (const char* prefix : {"System error : ", "Error : "})
        if (message.rfind(prefix, 0) == 0) message.erase(0, std::strlen(prefix));
    while (!message.empty() && (message.back() == '.' || message.back() == '\n')) message.pop_back();
    return message;
}

}  // namespace

SoundFileWriter::~SoundFileWriter() {
    std::string ignored;
    close(ignored);
}

bool SoundFileWriter::open(const std::string& path, int channels, int sampleRate, std::string& error, WavSampleFormat sampleFormat) {
    std::string ignored;
    close(ignored);
    failure_.clear();
    SF_INFO format{};
    format.channels = channels;
    format.samplerate = sampleRate;
    const int encoding = sampleFormat == WavSampleFormat::Pcm16   ? SF_FORMAT_PCM_16
                         : sampleFormat == WavSampleFormat::Pcm32 ? SF_FORMAT_PCM_32
                                                                  : SF_FORMAT_FLOAT;
    format.format = SF_FORMAT_WAV | encoding;
    const std::uint64_t bytesPerSample = sampleFormat == WavSampleFormat::Pcm16 ? 2 : 4;
    // The header holds the byte rate in 32 bits, and libsndfile takes at most 1024 channels. A format
    // that does not fit is refused before a file is made.
    const std::uint64_t byteRate =
        channels > 0 && sampleRate > 0 ? bytesPerSample * static_cast<std::uint64_t>(channels) * static_cast<std::uint64_t>(sampleRate) : 0;
    if (channels < 1 || sampleRate < 1 || byteRate > 0xFFFFFFFFu || sf_format_check(&format) == 0) {
        error =
            "cannot be written: " + std::to_string(channels) + " channels at " + std::to_string(sampleRate) + " Hz do not fit a WAV file";
        return false;
    }
    int descriptor = STDOUT_FILENO;
    if (path != "-") {
        descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (descriptor < 0) {
            error = std::string("cannot be written: ") + std::strerror(errno);
            return false;
        }
        descriptor_ = descriptor;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))) {
        error = "cannot be written: a WAV file's header is completed at the end, which a pipe cannot take; give a file name";
        close(ignored);
        return false;
    }
    file_ = sf_open_fd(descriptor, SFM_WRITE, &format, SF_FALSE);
    if (file_ == nullptr) {
        error = "cannot be written: " + plain(sf_strerror(nullptr));
        close(ignored);
        return false;
    }
    channels_ = channels;
    sampleFormat_ = sampleFormat;
    return true;
}

bool SoundFileWriter::writeFrames(const std::int16_t* interleaved, std::size_t frames) {
    if (file_ == nullptr || !failure_.empty()) return false;
    const sf_count_t written = sf_writef_short(file_, interleaved, static_cast<sf_count_t>(frames));
    if (written != static_cast<sf_count_t>(frames) || sf_error(file_) != SF_ERR_NO_ERROR) failure_ = plain(sf_strerror(file_));
    return failure_.empty();
}

bool SoundFileWriter::writeFrames(const float* interleaved, std::size_t frames) {
    if (file_ == nullptr || !failure_.empty()) return false;
    const std::size_t samples = frames * static_cast<std::size_t>(channels_);
    sf_count_t written = 0;
    if (sampleFormat_ == WavSampleFormat::Float) {
        written = sf_writef_float(file_, interleaved, static_cast<sf_count_t>(frames));
    } else {
        // Our own rounding rather than libsndfile's scaling, which takes full scale as 2^15 - 1.
        const bool wide = sampleFormat_ == WavSampleFormat::Pcm32;
        const double scale = wide ? 2147483648.0 : 32768.0;
        const double highest = wide ? 2147483647.0 : 32767.0;
        const auto code = [&](float sample) {
            const double rounded = std::round(static_cast<double>(sample) * scale);
            return std::isnan(rounded) ? 0.0 : std::clamp(rounded, -scale, highest);
        };
        if (wide) {
            pcm32_.resize(samples);
            for (std::size_t i = 0; i < samples; ++i) pcm32_[i] = static_cast<std::int32_t>(code(interleaved[i]));
            written = sf_writef_int(file_, pcm32_.data(), static_cast<sf_count_t>(frames));
        } else {
            pcm16_.resize(samples);
            for (std::size_t i = 0; i < samples; ++i) pcm16_[i] = static_cast<std::int16_t>(code(interleaved[i]));
            written = sf_writef_short(file_, pcm16_.data(), static_cast<sf_count_t>(frames));
        }
    }
    if (written != static_cast<sf_count_t>(frames) || sf_error(file_) != SF_ERR_NO_ERROR) failure_ = plain(sf_strerror(file_));
    return failure_.empty();
}

bool SoundFileWriter::close(std::string& error) {
    if (file_ != nullptr) {
        // Closing writes the final sizes into the header: its failure is a failed file too.
        const int closed = sf_close(file_);
        file_ = nullptr;
        if (closed != 0 && failure_.empty()) failure_ = plain(sf_error_number(closed));
    }
    if (descriptor_ >= 0) {
        if (::close(descriptor_) != 0 && failure_.empty()) failure_ = std::strerror(errno);
        descriptor_ = -1;
    }
    if (failure_.empty()) return true;
    error = "cannot be written: " + failure_;
    failure_.clear();
    return false;
}

}  // namespace sondeco
