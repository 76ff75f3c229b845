// SPDX-License-Identifier: GPL-3.0-or-later
// What libsndfile does not tell about a sound file's container: where the audio of a WAV, RF64 or
// Wave64 file starts and how much of it the header claims (a recorder writes that size last, so
// one that died leaves 0 or a stale value, and libsndfile believes it), and whether an Ogg stream
// ends the way a whole one does (libsndfile decodes a cut one to its last page without a word).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sondeco {

struct RiffLayout {
    enum class Kind { Wav, Rf64, Wave64 };
    Kind kind = Kind::Wav;
    bool bigEndian = false;  // RIFX
    std::uint64_t dataStart = 0;  // the first byte of the audio
    std::uint64_t statedBytes = 0;  // the audio's size as the header gives it
    std::uint64_t sizeOffset = 0;  // where that size is written (RF64: in its ds64 chunk)
    int sizeWidth = 4;  // 4 or 8 bytes
    int blockAlign = 0;  // bytes per frame, or per block of a compressed encoding
    std::uint32_t byteRate = 0;
    // PCM, float, A-law or u-law: a frame is blockAlign bytes, and the size gives the frames.
    bool plainSamples = false;
    // The size is one that programs writing to a pipe put there for "unknown" (0xFFFFFFFF and the like).
    bool placeholder = false;

    std::uint64_t statedEnd() const { return dataStart + statedBytes; }
    // Where the next chunk would start after `bytes` of audio: chunks start on an even byte, and in
    // Wave64 on a multiple of eight.
    std::uint64_t chunkAfter(std::uint64_t bytes) const;
    // The header's size field saying `bytes`, as it is written at sizeOffset.
    std::string sizeField(std::uint64_t bytes) const;
    // What goes in the size field for "until the stream ends": libsndfile reads on to the end of a
    // pipe with it.
    std::uint64_t unknownSize() const;
};

// Reads the chunks of `start` (a file's first bytes) up to its audio. Nothing when these are not a
// WAV, RF64 or Wave64 file, or its data chunk does not start within them; then `more` says how many
// bytes from the start would be needed to go on (0 when no number of bytes would help).
std::optional<RiffLayout> findRiffLayout(std::string_view start, std::size_t& more);

// Whether `bytes` start like a chunk of such a file (an identifier of four printable characters; in
// Wave64 a GUID of the family its chunks are named by), rather than like more audio.
bool looksLikeChunk(std::string_view bytes, RiffLayout::Kind kind);

// Whether an Ogg file of `length` bytes, whose bytes `bytesAt` gives, ends as a whole stream does,
// found by hopping from one page's header to the next (the audio between is not read); nothing when
// its pages cannot be followed to the end (damage, or another format).
std::optional<bool> oggFileEndsWhole(const std::function<std::string(std::uint64_t, std::size_t)>& bytesAt, std::uint64_t length);

// Follows an Ogg stream page by page as its bytes go by, to tell at its end whether it ended as a
// whole stream does: on the last byte of a page that closes its logical stream.
class OggPageWalker {
public:
    void feed(const char* bytes, std::size_t count);
    // Whether the bytes so far end exactly after a whole page marked the end of its stream.
    bool endsWhole() const { return !lost_ && sawPage_ && state_ == State::Header && filled_ == 0 && lastEnds_; }
    // The bytes stopped being Ogg pages somewhere (damage, or another format): no judgement then.
    bool lost() const { return lost_; }

private:
    enum class State { Header, Segments, Body };
    static constexpr std::size_t HeaderBytes = 27;

    State state_ = State::Header;
    unsigned char header_[HeaderBytes] = {};
    std::size_t filled_ = 0;  // bytes of the header, or of the segment table, taken so far
    std::size_t segments_ = 0;
    std::size_t bodyLeft_ = 0;
    bool lastEnds_ = false;  // the last page begun is marked the end of its stream
    bool lost_ = false;
    bool sawPage_ = false;
};

}  // namespace sondeco
