// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG audio (MP3, and MP2 and MP1 before it) through libmpg123 itself rather than through
// libsndfile. libsndfile decodes it with libmpg123 too, but makes the decoder with its noisy
// defaults and gives us no way to reach it: a damaged file then has libmpg123 write its notes
// ("Note: Illegal Audio-MPEG-Header ...", "[parse.c:...] error: Giving up resync ...") straight to
// our standard error, and libsndfile calls one it cannot start on a file that "does not exist or is
// not a regular file". Here the decoder is told to keep quiet and its failures come back as
// sentences; the audio is the same libsndfile gives (32-bit float, gapless, the stream's own rate).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

struct mpg123_handle_struct;  // libmpg123's handle, kept out of this header

namespace sondeco {

class MpegDecoder {
public:
    // Reads up to `count` bytes at `offset` of the file; returns how many, 0 at its end, -1 on failure.
    using ReadAt = std::function<long(std::uint64_t offset, void* destination, std::size_t count)>;

    // Whether a file holds MPEG audio, as libsndfile would take it: a frame header at its start, or
    // after an ID3v2 tag.
    static bool recognises(const ReadAt& readAt);

    MpegDecoder() = default;
    MpegDecoder(const MpegDecoder&) = delete;
    MpegDecoder& operator=(const MpegDecoder&) = delete;
    ~MpegDecoder();

    // A file `length` bytes long. On failure says why, as a sentence that can follow its name.
    bool open(ReadAt readAt, std::uint64_t length, std::string& error);
    int channels() const { return channels_; }
    int sampleRate() const { return rate_; }
    std::int64_t frames() const { return frames_; }  // -1 when the stream does not say
    // libsndfile's name for the layer: SF_FORMAT_MPEG_LAYER_I, _II or _III.
    int layer() const { return layer_; }

    // Up to `frames` frames at full scale +-1; 0 at the end of the audio or on a failure, which then
    // leaves the decoder's own words in `failure`. The audio decoded before a failure is handed out
    // first, and the failure at the next call, so that what comes out does not depend on the sizes
    // it is read in.
    std::size_t read(double* interleaved, std::size_t frames, std::string& failure);
    // Back to the first frame, as if opened again.
    bool rewind();

private:
    static ssize_t readBytes(void* self, void* destination, std::size_t count);
    static off_t seekBytes(void* self, off_t offset, int whence);
    bool start(std::string& error);

    mpg123_handle_struct* handle_ = nullptr;
    ReadAt readAt_;
    std::uint64_t length_ = 0;
    std::uint64_t position_ = 0;
    int channels_ = 0;
    int rate_ = 0;
    int layer_ = 0;
    std::int64_t frames_ = -1;
    std::vector<float> buffer_;
    std::string failure_;  // met while audio decoded before it was still to be handed out
};

}  // namespace sondeco
