// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/mpeg_decoder.h"

#include <mpg123.h>
#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <utility>

namespace sondeco {
namespace {

// A frame header: eleven bits of sync, then a version, a layer, a bit rate and a sample rate that
// are not the reserved values. libsndfile looks for no more than this either.
bool frameHeader(const unsigned char* b) {
    return b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && ((b[1] >> 3) & 3) != 1 && ((b[1] >> 1) & 3) != 0 && (b[2] >> 4) != 0xF &&
           ((b[2] >> 2) & 3) != 3;
}

// The decoder's words as the end of one of our sentences: "Failed to find valid MPEG data within
// limit on resync." becomes "failed to find valid MPEG data within limit on resync".
std::string decoderWords(const char* text) {
    std::string words = text != nullptr && *text != '\0' ? text : "unknown error";
    if (const auto code = words.find(" (code "); code != std::string::npos) words.erase(code);
    while (!words.empty() && (words.back() == '.' || words.back() == '\n' || words.back() == ' ')) words.pop_back();
    if (words.size() > 1 && std::isupper(static_cast<unsigned char>(words[0])) != 0 &&
        std::isupper(static_cast<unsigned char>(words[1])) == 0)
        words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
    return words;
}

}  // namespace

bool MpegDecoder::recognises(const ReadAt& readAt) {
    unsigned char start[10];
    if (readAt(0, start, sizeof start) != static_cast<long>(sizeof start)) return false;
    std::uint64_t at = 0;
    if (start[0] == 'I' && start[1] == 'D' && start[2] == '3') {
        // An ID3v2 tag: ten bytes, then its size in seven bits a byte, then a footer if it says so.
        if ((start[6] | start[7] | start[8] | start[9]) & 0x80) return false;
        at = 10 + (std::uint64_t{start[6]} << 21 | std::uint64_t{start[7]} << 14 | std::uint64_t{start[8]} << 7 | start[9]);
        if ((start[5] & 0x10) != 0) at += 10;
    }
    unsigned char header[4];
    return readAt(at, header, sizeof header) == static_cast<long>(sizeof header) && frameHeader(header);
}

MpegDecoder::~MpegDecoder() {
    if (handle_ != nullptr) {
        mpg123_close(handle_);
        mpg123_delete(handle_);
    }
}

ssize_t MpegDecoder::readBytes(void* self, void* destination, std::size_t count) {
    auto& decoder = *static_cast<MpegDecoder*>(self);
    const long got = decoder.readAt_(decoder.position_, destination, count);
    if (got > 0) decoder.position_ += static_cast<std::uint64_t>(got);
    return got;
}

off_t MpegDecoder::seekBytes(void* self, off_t offset, int whence) {
    auto& decoder = *static_cast<MpegDecoder*>(self);
    const auto base = static_cast<off_t>(whence == SEEK_SET ? 0 : whence == SEEK_CUR ? decoder.position_ : decoder.length_);
    if (offset < -base) return -1;
    decoder.position_ = static_cast<std::uint64_t>(base + offset);
    return static_cast<off_t>(decoder.position_);
}

bool MpegDecoder::open(ReadAt readAt, std::uint64_t length, std::string& error) {
    readAt_ = std::move(readAt);
    length_ = length;
    // Once per process before any handle; since libmpg123 1.27 it does nothing, but older ones need it.
    static std::once_flag initialised;
    std::call_once(initialised, [] { mpg123_init(); });
    int result = MPG123_OK;
    handle_ = mpg123_new(nullptr, &result);
    if (handle_ == nullptr) {
        error = "cannot be read: libmpg123 cannot start a decoder: " + decoderWords(mpg123_plain_strerror(result));
        return false;
    }
    // Quiet above all; then as libsndfile asks for it: float samples, the encoder's padding dropped,
    // never resampled, and no mixing of streams that change their format mid-file.
    mpg123_param(handle_, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_FORCE_FLOAT | MPG123_GAPLESS | MPG123_NO_FRANKENSTEIN, 0);
    mpg123_param(handle_, MPG123_REMOVE_FLAGS, MPG123_AUTO_RESAMPLE, 0);
    mpg123_replace_reader_handle(handle_, &MpegDecoder::readBytes, &MpegDecoder::seekBytes, nullptr);
    return start(error);
}

bool MpegDecoder::start(std::string& error) {
    position_ = 0;
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_open_handle(handle_, this) != MPG123_OK || mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK ||
        channels < 1) {
        // Its words here are about the reading ("error reading the stream") that found no frame.
        error = "is damaged MPEG audio: libmpg123 finds no frame in it that it can decode";
        return false;
    }
    // The length as the stream's own header (Xing, LAME) gives it; failing that, from a look at every
    // frame, as libsndfile does. Not always: that look stops at damage, and the length it finds would
    // hide the damage from the reading that follows.
    off_t frames = mpg123_length(handle_);
    if (frames <= 0 && mpg123_scan(handle_) == MPG123_OK) frames = mpg123_length(handle_);
    frames_ = frames >= 0 ? static_cast<std::int64_t>(frames) : -1;
    if (encoding != MPG123_ENC_FLOAT_32 && mpg123_format(handle_, rate, channels, MPG123_ENC_FLOAT_32) != MPG123_OK) {
        error = "is MPEG audio libmpg123 cannot decode: " + decoderWords(mpg123_strerror(handle_));
        return false;
    }
    mpg123_frameinfo frame{};
    mpg123_info(handle_, &frame);
    layer_ = frame.layer == 1 ? SF_FORMAT_MPEG_LAYER_I : frame.layer == 2 ? SF_FORMAT_MPEG_LAYER_II : SF_FORMAT_MPEG_LAYER_III;
    rate_ = static_cast<int>(rate);
    channels_ = channels;
    return true;
}

std::size_t MpegDecoder::read(double* interleaved, std::size_t frames, std::string& failure) {
    if (!failure_.empty()) {
        failure = std::exchange(failure_, std::string());
        return 0;
    }
    const auto channels = static_cast<std::size_t>(channels_);
    buffer_.resize(frames * channels);
    std::size_t got = 0;
    const auto failed = [&](std::string text) {
        if (got == 0) {
            failure = std::move(text);
        } else {
            failure_ = std::move(text);
            std::copy_n(buffer_.begin(), got * channels, interleaved);
        }
        return got;
    };
    while (got < frames) {
        std::size_t bytes = 0;
        const int result = mpg123_read(handle_, buffer_.data() + got * channels, (frames - got) * channels * sizeof(float), &bytes);
        got += bytes / (sizeof(float) * channels);
        if (result == MPG123_DONE) {
            // libmpg123 gives up on a stretch of damage it cannot resynchronise past as quietly as it
            // ends at the end of the file; only where it stopped reading tells the two apart.
            if (position_ < length_) return failed("libmpg123 finds no MPEG audio it can decode after it");
            break;
        }
        if (result == MPG123_NEW_FORMAT) return failed("its format changes in the middle of the stream");
        if (result != MPG123_OK) return failed(decoderWords(mpg123_plain_strerror(mpg123_errcode(handle_))));
        if (bytes == 0) break;
    }
    std::copy_n(buffer_.begin(), got * channels, interleaved);
    return got;
}

bool MpegDecoder::rewind() {
    if (handle_ == nullptr) return false;
    failure_.clear();
    mpg123_close(handle_);
    std::string error;
    return start(error);
}

}  // namespace sondeco
