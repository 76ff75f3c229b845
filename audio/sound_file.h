// SPDX-License-Identifier: GPL-3.0-or-later
// Sound files through libsndfile: WAV in all its forms, FLAC, Ogg/Vorbis, AIFF and whatever else it
// reads, from a named file, standard input or memory; MPEG audio through libmpg123 (see
// mpeg_decoder.h). The audio comes out as it is in the file (every channel, the file's own rate) at
// full scale +-1; a file cut short or damaged gives the audio before the damage, then says what is
// wrong. A WAV, RF64 or Wave64 file whose header understates its audio (a recorder that died
// before writing the size) is read to the end of its data, and then says so.
#pragma once

#include "audio/container_layout.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct sf_private_tag;  // libsndfile's SNDFILE and SF_INFO, kept out of this header
struct SF_INFO;

namespace sondeco {

class MpegDecoder;

struct SoundFileInfo {
    int channels = 0;
    int sampleRate = 0;
    std::string format;  // as libsndfile names it: "WAV (Microsoft) Signed 16 bit PCM"
    // The length the file announces, in frames; -1 when it announces none that can be trusted (a
    // stream written to a pipe).
    std::int64_t frames = -1;
    bool pipe = false;  // read from a pipe: no rewinding
};

class SoundFileReader {
public:
    class Source;  // bytes for libsndfile's virtual I/O (memory, a pipe that can go back)

    SoundFileReader();
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;
    ~SoundFileReader();

    // `path` "-" reads standard input. Every failure comes back as a sentence that can follow the
    // file's name ("is not a sound file libsndfile can read: format not recognised").
    bool open(const std::string& path, std::string& error);
    // Reads from a descriptor that stays the caller's to close: a file, or a pipe.
    bool openDescriptor(int descriptor, std::string& error);
    // A whole file held in memory; the bytes must outlive the reader.
    bool openMemory(std::string_view bytes, std::string& error);
    void close();

    const SoundFileInfo& info() const { return info_; }

    // Up to `frames` frames (info().channels values each, interleaved). Returns 0 at the end of the
    // audio, and from then on; error() then says whether the end was a failure.
    std::size_t readFrames(double* interleaved, std::size_t frames);
    // Empty while all is well; else why the audio stopped, as a sentence that can follow the name
    // ("is cut short: its audio stops at 10.0 s of the 20.0 s its header announces"), or what was
    // wrong with a file read to its end all the same ("has a header that announces 0.0 s of audio,
    // but 20.0 s follow; decoded to the end of the data").
    const std::string& error() const { return error_; }
    std::uint64_t framesRead() const { return framesRead_; }

    // Back to the first frame; false for a pipe.
    bool rewind();

private:
    bool openOn(int descriptor, std::string& error);
    sf_private_tag* openPipe(int descriptor, std::string_view magic, SF_INFO& format);
    bool openWhole(std::uint64_t length, std::string& error);
    bool opened(sf_private_tag* file, const SF_INFO& format, std::string& error);
    std::string bytesAt(std::uint64_t offset, std::size_t count) const;
    long readAt(std::uint64_t offset, void* destination, std::size_t count) const;
    void checkHeader(std::uint64_t length);
    bool oggCutShort();
    std::size_t readPiece(double* interleaved, std::size_t frames);
    void checkTheEnd();
    std::string timeAt(std::uint64_t frames) const;
    std::string statedTime() const;

    sf_private_tag* file_ = nullptr;
    std::unique_ptr<Source> source_;
    std::unique_ptr<MpegDecoder> mpeg_;  // MPEG audio, read without libsndfile
    int descriptor_ = -1;  // owned: opened by name
    int readDescriptor_ = -1;  // the one libsndfile reads, when it reads one
    // A whole file's bytes, read where libsndfile is not: a regular file from `base_` on, or memory.
    std::uint64_t base_ = 0;
    std::uint64_t length_ = 0;
    std::string_view memory_;
    bool inMemory_ = false;
    SoundFileInfo info_;
    std::int64_t announcedFrames_ = 0;  // as libsndfile gives it, placeholders and all
    // A WAV, RF64 or Wave64 file's audio as its header has it, and whether that is wrong: less than
    // the data there (read to the end all the same) or more (the file is cut short).
    std::optional<RiffLayout> layout_;
    bool understated_ = false;
    bool overstated_ = false;
    bool ogg_ = false;
    std::optional<bool> oggCut_;  // decided once, at the first end
    std::uint64_t framesRead_ = 0;
    bool ended_ = false;
    std::string error_;
};

}  // namespace sondeco
