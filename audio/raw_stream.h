// SPDX-License-Identifier: GPL-3.0-or-later
// Headerless sample streams: raw audio from arecord, sox or an SDR program's audio pipe, and complex
// IQ from SDR receivers (rtl_sdr and the like). The stream says nothing about itself, so the user
// names the sample format, the channel count and the rate.
#pragma once

#include <complex>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

// Little-endian samples of raw audio.
enum class RawSampleFormat { S16, S32, F32, U8 };

struct RawAudioFormat {
    RawSampleFormat sample = RawSampleFormat::S16;
    int channels = 2;
    int sampleRate = 48000;
};

// "s16", "s32", "f32", "u8": the names command lines use, in that order; nothing for any other name.
const std::vector<std::string>& rawSampleFormatNames();
std::optional<RawSampleFormat> rawSampleFormatNamed(std::string_view name);
const std::string& nameOf(RawSampleFormat format);
int bytesPerSample(RawSampleFormat format);
// `count` samples to full scale +-1 (integers divided by 2^(bits-1), u8 centred on 128, floats as they are).
void decodeRawSamples(RawSampleFormat format, const unsigned char* bytes, std::size_t count, double* samples);

// Interleaved I and Q, little-endian: cu8 as rtl_sdr writes it (offset binary around 127.5), cs8,
// cs16 and cf32.
enum class IqFormat { Cu8, Cs8, Cs16, Cf32 };

// "cu8", "cs8", "cs16", "cf32", in that order; nothing for any other name.
const std::vector<std::string>& iqFormatNames();
std::optional<IqFormat> iqFormatNamed(std::string_view name);
int bytesPerIqSample(IqFormat format);  // both components
// `count` complex samples to full scale +-1.
void decodeIqSamples(IqFormat format, const unsigned char* bytes, std::size_t count, std::complex<float>* samples);
// The other way: `count` complex samples at full scale +-1 to bytes, bytesPerIqSample(format) each.
// Integers take the nearest code, and values beyond full scale (or not a number) saturate at the
// range's ends rather than wrap round; floats go as they are.
void encodeIqSamples(IqFormat format, const std::complex<float>* samples, std::size_t count, unsigned char* bytes);

// Whole frames of `frameBytes` bytes from a stream (a file or a pipe). Bytes after the last whole
// frame at the end cannot be decoded: a writer stopped mid-frame, or the stream is not in the format
// it was taken for. They are left out and reported, after the audio before them.
class RawFrameReader {
public:
    RawFrameReader() = default;
    RawFrameReader(const RawFrameReader&) = delete;
    RawFrameReader& operator=(const RawFrameReader&) = delete;
    ~RawFrameReader();

    // `path` "-" reads standard input. On failure says why, as a sentence that can follow the name;
    // a file that holds nothing "is empty". `frameName` says what a frame is, for that report
    // ("frame of 2 channels of s16 (4 bytes)").
    bool open(const std::string& path, std::size_t frameBytes, std::string frameName, std::string& error);
    // Takes over an open stream; closed by the reader only if `owned`.
    void openStream(std::FILE* stream, bool owned, std::size_t frameBytes, std::string frameName);
    void close();

    // Up to `frames` whole frames; the pointer stays valid until the next call. Returns 0 frames at
    // the end of the stream or on a read error; then error() says whether the end was a failure, or
    // left part of a frame ("ends with 3 bytes, less than a whole frame of ...").
    std::size_t readFrames(std::size_t frames, const unsigned char*& bytes);
    const std::string& error() const { return error_; }
    std::uint64_t framesRead() const { return framesRead_; }

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    std::size_t frameBytes_ = 1;
    std::string frameName_;
    std::vector<unsigned char> buffer_;
    bool ended_ = false;
    std::uint64_t framesRead_ = 0;
    std::string error_;
};

}  // namespace sondeco
