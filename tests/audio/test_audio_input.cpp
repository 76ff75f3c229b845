// SPDX-License-Identifier: GPL-3.0-or-later
// Every recording in: sound files of each format from a name and from a pipe, every rate resampled
// to 48 kHz with the tone intact, raw streams, damaged files, refusals, and IQ.
#include "audio/audio_input.h"
#include "audio/iq_input.h"
#include "tests/audio/sound_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

namespace sondeco {
namespace {

using testing::fileBytes;
using testing::PipeFeeder;
using testing::readToTheEnd;
using testing::scratchPath;
using testing::writeSoundFile;

// Half a second of stereo: a tone on the left, another on the right, at 48 kHz, each sample a whole
// number of 16-bit steps so that every lossless format holds it exactly.
std::vector<double> stereoTones(int frames = 24000) {
    std::vector<double> samples(2 * static_cast<std::size_t>(frames));
    for (int n = 0; n < frames; ++n) {
        const double t = n / 48000.0;
        samples[2 * static_cast<std::size_t>(n)] = std::round(16000 * std::sin(2 * std::numbers::pi * 700 * t)) / 32768;
        samples[2 * static_cast<std::size_t>(n) + 1] = std::round(9000 * std::sin(2 * std::numbers::pi * 1300 * t + 1)) / 32768;
    }
    return samples;
}

// One channel of interleaved samples, multiplied by `scale` (32768: from full scale 1 to 16-bit units).
std::vector<double> channel(const std::vector<double>& interleaved, std::size_t channels, std::size_t which, double scale = 32768) {
    std::vector<double> one;
    for (std::size_t i = which; i < interleaved.size(); i += channels) one.push_back(interleaved[i] * scale);
    return one;
}

double largestDifference(const std::vector<double>& a, const std::vector<double>& b, std::size_t from = 0, std::size_t skipAtEnd = 0) {
    double largest = 0;
    for (std::size_t i = from; i + skipAtEnd < std::min(a.size(), b.size()); ++i) largest = std::max(largest, std::abs(a[i] - b[i]));
    return largest;
}

struct FileFormat {
    const char* name;
    int format;
    double tolerance;  // in 16-bit units: 0 for lossless formats of 16 bits or more; 8 bits and Vorbis lose some
};

TEST(AudioInput, EveryFormatGivesTheChosenChannelFromAFileAndFromAPipe) {
    const auto tones = stereoTones();
    const std::vector<double> right = channel(tones, 2, 1);
    for (const FileFormat& format : {FileFormat{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0},
                                     {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 0},
                                     {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 0},
                                     {"wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0},
                                     {"wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 0},
                                     {"wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 0},
                                     {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 400},
                                     {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0},
                                     {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 0},
                                     {"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 0},
                                     {"au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 0},
                                     {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 1500}}) {
        const auto path = scratchPath(std::string("tones.") + format.name);
        writeSoundFile(path, format.format, 2, 48000, tones);
        SCOPED_TRACE(path.string() + " " + std::to_string(format.format));

        AudioInput byName;
        std::string error;
        ASSERT_TRUE(byName.openFile(path.string(), {1, 1}, error)) << error;
        EXPECT_EQ(byName.inputChannels(), 2);
        EXPECT_EQ(byName.outputChannels(), 1);
        const auto fromFile = readToTheEnd(byName);
        EXPECT_TRUE(byName.error().empty()) << byName.error();
        ASSERT_EQ(fromFile.size(), right.size());
        EXPECT_LE(largestDifference(fromFile, right), format.tolerance);

        // Through a pipe; WAV through a socket as well.
        PipeFeeder pipe(fileBytes(path), format.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        AudioInput fromPipe;
        ASSERT_TRUE(fromPipe.openFileDescriptor(pipe.readEnd(), {0, 2}, error)) << error;
        EXPECT_EQ(fromPipe.outputChannels(), 2);
        const auto both = readToTheEnd(fromPipe);
        EXPECT_TRUE(fromPipe.error().empty()) << fromPipe.error();
        ASSERT_EQ(both.size(), tones.size());
        EXPECT_LE(largestDifference(channel(both, 2, 0, 1), channel(tones, 2, 0)), format.tolerance);
        EXPECT_LE(largestDifference(channel(both, 2, 1, 1), right), format.tolerance);
        EXPECT_FALSE(fromPipe.rewind());
    }

    // Through a pipe, only what libsndfile reads well there: CAF would give its header and no audio,
    // and bytes libsndfile takes for MPEG audio make it read outside its buffer.
    const auto caf = scratchPath("tones.caf");
    writeSoundFile(caf, SF_FORMAT_CAF | SF_FORMAT_PCM_16, 2, 48000, tones);
    for (const std::string& bytes : {fileBytes(caf), std::string("\xFF\xFB\x90\x00") + std::string(400, '\0')}) {
        PipeFeeder pipe(bytes);
        AudioInput input;
        std::string error;
        EXPECT_FALSE(input.openFileDescriptor(pipe.readEnd(), {}, error));
        EXPECT_EQ(error, "is not in a format libsndfile reads through a pipe (WAV, AIFF, AU, FLAC, Ogg); give the file's name instead");
    }
}

// Two tones at the rate's edges of interest (the beacon's 1 kHz and 3.4 kHz, near the top of 8 kHz
// audio), in 16-bit units, at time `t`.
double testTones(double t) {
    return 12000 * std::sin(2 * std::numbers::pi * 1000 * t) + 6000 * std::sin(2 * std::numbers::pi * 3400 * t + 0.5);
}

TEST(AudioInput, EveryRateComesOutAt48kHzWithItsTonesInPlace) {
    for (const int rate : {8000, 11025, 44100, 48000, 96000, 192000, 384000}) {
        SCOPED_TRACE(rate);
        const int frames = rate / 2;
        std::vector<double> samples(static_cast<std::size_t>(frames));
        for (int n = 0; n < frames; ++n) samples[static_cast<std::size_t>(n)] = testTones(static_cast<double>(n) / rate) / 32768;
        const auto path = scratchPath("tones-" + std::to_string(rate) + ".wav");
        writeSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, rate, samples);

        AudioInput input;
        std::string error;
        ASSERT_TRUE(input.openFile(path.string(), {}, error)) << error;
        EXPECT_EQ(input.inputRate(), rate);
        const auto out = readToTheEnd(input);
        EXPECT_TRUE(input.error().empty()) << input.error();
        // Half a second at 48 kHz, no sample lost or added, and the tones where they were: the same
        // level and no delay (the filter's edges aside).
        EXPECT_NEAR(static_cast<double>(out.size()), frames * 48000.0 / rate, 1.0);
        std::vector<double> expected(out.size());
        for (std::size_t n = 0; n < expected.size(); ++n) expected[n] = testTones(static_cast<double>(n) / 48000);
        EXPECT_LT(largestDifference(out, expected, 480, 480), rate == 48000 ? 0.01 : 2.0);
    }
}

TEST(AudioInput, RawStreamsInEveryFormatAtTheirScale) {
    // Three channels, the third one read: the extremes and zero of each format, then a value between.
    struct Case {
        RawSampleFormat format;
        std::vector<unsigned char> third;  // the bytes of the third channel's four samples
        std::vector<double> expected;  // in 16-bit units
    };
    const std::vector<Case> cases{
        {RawSampleFormat::S16, {0x00, 0x80, 0xFF, 0x7F, 0, 0, 0x34, 0x12}, {-32768, 32767, 0, 0x1234}},
        {RawSampleFormat::S32, {0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0x34, 0x12}, {-32768, 32767.9999847, 0, 0x1234}},
        {RawSampleFormat::F32, {0, 0, 0x80, 0xBF, 0, 0, 0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0x3F}, {-32768, 32768, 0, 16384}},
        {RawSampleFormat::U8, {0, 255, 128, 0x92}, {-32768, 32512, 0, 0x1200}},
    };
    for (const Case& test : cases) {
        const std::size_t width = test.third.size() / 4;
        std::string bytes;
        for (std::size_t n = 0; n < 4; ++n) {
            bytes += std::string(2 * width, '\x55');  // the first two channels
            bytes.append(reinterpret_cast<const char*>(test.third.data() + n * width), width);
        }
        bytes += std::string(2 * width, '\x01');  // a frame cut short at the end: left out, and said
        std::FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
        AudioInput input;
        std::string error;
        ASSERT_TRUE(input.openRawStream(stream, true, {test.format, 3, 48000}, {2, 1}, error)) << error;
        const auto samples = readToTheEnd(input);
        EXPECT_EQ(input.error(), "ends with " + std::to_string(2 * width) + " bytes, less than a whole frame of 3 channels of " +
                                     input.formatName().substr(4) + " (" + std::to_string(3 * width) +
                                     " bytes); the audio before them is decoded");
        ASSERT_EQ(samples.size(), 4u) << input.formatName();
        for (std::size_t n = 0; n < 4; ++n) EXPECT_NEAR(samples[n], test.expected[n], 1e-4) << input.formatName() << " sample " << n;
    }

    // At another rate the stream is resampled like a file: a second of 16 kHz is a second of 48 kHz.
    std::string second(2 * 16000, '\0');
    std::FILE* stream = fmemopen(second.data(), second.size(), "rb");
    AudioInput input;
    std::string error;
    ASSERT_TRUE(input.openRawStream(stream, true, {RawSampleFormat::S16, 1, 16000}, {}, error)) << error;
    EXPECT_NEAR(static_cast<double>(readToTheEnd(input).size()), 48000.0, 1.0);
}

TEST(AudioInput, DamagedFilesGiveTheAudioBeforeTheDamageThenSaySo) {
    const auto tones = stereoTones(48000);
    const std::vector<double> left = channel(tones, 2, 0);
    std::string error;

    // A WAV file cut in half (and mid-frame): from the file, libsndfile's log gives it away; from a
    // pipe, the length the header announced.
    const auto whole = scratchPath("whole.wav");
    writeSoundFile(whole, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 48000, tones);
    const std::string cutBytes = fileBytes(whole).substr(0, 44 + 4 * 24000 + 3);
    const auto cut = scratchPath("cut.wav");
    std::ofstream(cut, std::ios::binary) << cutBytes;
    {
        AudioInput input;
        ASSERT_TRUE(input.openFile(cut.string(), {}, error)) << error;
        const auto samples = readToTheEnd(input);
        EXPECT_EQ(samples, std::vector<double>(left.begin(), left.begin() + 24000));
        EXPECT_EQ(input.error(), "is cut short: its audio stops at 0.5 s, before the end its header announces");
        // The desktop program loops a recording: back to the start, the same audio and the same end.
        ASSERT_TRUE(input.rewind());
        EXPECT_EQ(readToTheEnd(input), samples);
        EXPECT_FALSE(input.error().empty());
    }
    {
        PipeFeeder pipe(cutBytes);
        AudioInput input;
        ASSERT_TRUE(input.openFileDescriptor(pipe.readEnd(), {}, error)) << error;
        EXPECT_EQ(readToTheEnd(input).size(), 24000u);
        EXPECT_EQ(input.error(), "is cut short: its audio stops at 0.5 s of the 1.0 s its header announces");
    }

    // FLAC files damaged in their middle, one with a bit flipped (a block fails its check and
    // libFLAC makes it silence), one with a stretch overwritten (the decoder loses sync): the audio
    // before the damage, but for the piece of a read that found it, and nothing after.
    const auto flac = scratchPath("whole.flac");
    writeSoundFile(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 48000, tones);
    const std::string flacBytes = fileBytes(flac);
    for (const std::size_t stretch : {std::size_t{1}, std::size_t{500}}) {
        std::string broken = flacBytes;
        for (std::size_t i = broken.size() / 2; i < broken.size() / 2 + stretch; ++i) broken[i] = static_cast<char>(broken[i] ^ 0x10);
        const auto damaged = scratchPath("damaged.flac");
        std::ofstream(damaged, std::ios::binary) << broken;
        // Where the damage is: libsndfile read a frame at a time, up to the read that fails.
        SF_INFO info{};
        SNDFILE* file = sf_open(damaged.c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr);
        double frame[2];
        std::size_t beforeTheDamage = 0;
        while (sf_readf_double(file, frame, 1) == 1 && sf_error(file) == 0) ++beforeTheDamage;
        sf_close(file);
        ASSERT_GT(beforeTheDamage, 15000u);
        ASSERT_LT(beforeTheDamage, 33000u);

        for (const bool piped : {false, true}) {
            SCOPED_TRACE(std::string(piped ? "from a pipe, " : "by name, ") + std::to_string(stretch) + " bytes damaged");
            PipeFeeder pipe(broken);
            AudioInput input;
            ASSERT_TRUE(piped ? input.openFileDescriptor(pipe.readEnd(), {}, error) : input.openFile(damaged.string(), {}, error)) << error;
            const auto samples = readToTheEnd(input);
            EXPECT_LE(samples.size(), beforeTheDamage);
            EXPECT_GT(samples.size() + 512, beforeTheDamage);
            EXPECT_EQ(largestDifference(samples, left), 0.0);
            EXPECT_EQ(input.error().rfind("is damaged at 0.", 0), 0u) << input.error();
            if (!piped) {
                ASSERT_TRUE(input.rewind());
                EXPECT_EQ(readToTheEnd(input), samples);
            }
        }
    }

    // A WAV written to a pipe and saved: its header's sizes are placeholders, the audio is all there
    // and nothing is wrong with it.
    std::string streamed = fileBytes(whole);
    for (const std::size_t at : {std::size_t{4}, std::size_t{40}}) std::memset(streamed.data() + at, 0xFF, 4);
    const auto saved = scratchPath("streamed.wav");
    std::ofstream(saved, std::ios::binary) << streamed;
    PipeFeeder pipe(streamed);
    AudioInput fromFile;
    AudioInput fromPipe;
    ASSERT_TRUE(fromFile.openFile(saved.string(), {}, error)) << error;
    ASSERT_TRUE(fromPipe.openFileDescriptor(pipe.readEnd(), {}, error)) << error;
    EXPECT_EQ(readToTheEnd(fromFile), left);
    EXPECT_EQ(readToTheEnd(fromPipe), left);
    EXPECT_EQ(fromFile.error() + fromPipe.error(), "");
    EXPECT_EQ(fromFile.announcedFrames(), 48000);
    EXPECT_EQ(fromPipe.announcedFrames(), -1);
}

// The little-endian number of `width` bytes at `at`, and the bytes with another one there.
std::uint64_t numberAt(const std::string& bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
    return value;
}

std::string withNumberAt(std::string bytes, std::size_t at, int width, std::uint64_t value) {
    for (int i = 0; i < width; ++i) bytes.at(at + static_cast<std::size_t>(i)) = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

// `bytes` as a scratch file called `name`.
std::filesystem::path saved(const std::string& name, const std::string& bytes) {
    const auto path = scratchPath(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// Where libsndfile writes the audio's size in each container that has one, in 16-bit stereo: WAV in
// its data chunk, RF64 in its ds64 chunk, Wave64 in its data chunk counting the chunk's own 24 bytes.
struct SizedContainer {
    const char* name;
    int format;
    std::size_t sizeAt;
    int width;
    std::uint64_t headerBytes;  // counted in the size besides the audio
    std::size_t dataStart;
};

constexpr SizedContainer SizedContainers[] = {{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 40, 4, 0, 44},
                                              {"rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 0x1C, 8, 0, 0x68},
                                              {"w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 0x60, 8, 24, 0x68}};

TEST(AudioInput, AudioBeyondTheSizeItsHeaderGivesIsReadToItsEndAndSaidSo) {
    const auto tones = stereoTones(48000);
    const std::vector<double> left = channel(tones, 2, 0);
    for (const SizedContainer& form : SizedContainers) {
        const auto whole = scratchPath(std::string("whole.") + form.name);
        writeSoundFile(whole, form.format, 2, 48000, tones);
        const std::string bytes = fileBytes(whole);
        ASSERT_EQ(numberAt(bytes, form.sizeAt, form.width), 4 * 48000 + form.headerBytes) << form.name;
        // As a recorder that died leaves it (the size never written), and with a stale size.
        for (const std::uint64_t stated : {std::uint64_t{0}, std::uint64_t{4 * 24000}}) {
            SCOPED_TRACE(std::string(form.name) + " saying " + std::to_string(stated) + " bytes");
            const std::string broken = withNumberAt(bytes, form.sizeAt, form.width, stated + form.headerBytes);
            const auto path = saved(std::string("unfinished.") + form.name, broken);
            const std::string said = std::string("has a header that announces ") + (stated == 0 ? "0.0" : "0.5") +
                                     " s of audio, but 1.0 s follow; decoded to the end of the data";
            std::string error;
            AudioInput byName;
            ASSERT_TRUE(byName.openFile(path.string(), {}, error)) << error;
            EXPECT_EQ(byName.announcedFrames(), 48000);
            EXPECT_EQ(readToTheEnd(byName), left);
            EXPECT_EQ(byName.error(), said);
            ASSERT_TRUE(byName.rewind());
            EXPECT_EQ(readToTheEnd(byName), left);
            EXPECT_EQ(byName.error(), said);

            PipeFeeder pipe(broken);
            AudioInput fromPipe;
            ASSERT_TRUE(fromPipe.openFileDescriptor(pipe.readEnd(), {}, error)) << error;
            EXPECT_EQ(fromPipe.announcedFrames(), stated == 0 ? -1 : 24000);
            EXPECT_EQ(readToTheEnd(fromPipe), left);
            EXPECT_EQ(fromPipe.error(), said);

            AudioInput inMemory;
            ASSERT_TRUE(inMemory.openFileInMemory(broken, {}, error)) << error;
            EXPECT_EQ(readToTheEnd(inMemory), left);
            EXPECT_EQ(inMemory.error(), said);
        }
    }

    // A size that is right, then a chunk after the audio: the audio ends where the header says.
    const auto wav = scratchPath("whole.wav");
    writeSoundFile(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 48000, tones);
    std::string tagged = fileBytes(wav) + std::string("LIST\x0C\0\0\0INFOISFT\0\0\0\0", 20);
    tagged = withNumberAt(tagged, 4, 4, tagged.size() - 8);
    const auto path = saved("tagged.wav", tagged);
    PipeFeeder pipe(tagged);
    std::string error;
    AudioInput byName;
    AudioInput fromPipe;
    ASSERT_TRUE(byName.openFile(path.string(), {}, error)) << error;
    ASSERT_TRUE(fromPipe.openFileDescriptor(pipe.readEnd(), {}, error)) << error;
    EXPECT_EQ(readToTheEnd(byName), left);
    EXPECT_EQ(readToTheEnd(fromPipe), left);
    EXPECT_EQ(byName.error() + fromPipe.error(), "");
}

TEST(AudioInput, CutRf64Wave64AndOggFilesSayTheyAreCutByNameAndFromAPipe) {
    const auto tones = stereoTones(48000);
    const std::vector<double> left = channel(tones, 2, 0);
    for (const SizedContainer& form : SizedContainers) {
        SCOPED_TRACE(form.name);
        const auto whole = scratchPath(std::string("whole.") + form.name);
        writeSoundFile(whole, form.format, 2, 48000, tones);
        // Half the audio, and a frame cut in the middle.
        const std::string cut = fileBytes(whole).substr(0, form.dataStart + 4 * 24000 + 3);
        const auto path = saved(std::string("cut.") + form.name, cut);
        std::string error;
        AudioInput byName;
        ASSERT_TRUE(byName.openFile(path.string(), {}, error)) << error;
        EXPECT_EQ(readToTheEnd(byName), std::vector<double>(left.begin(), left.begin() + 24000));
        EXPECT_EQ(byName.error(), "is cut short: its audio stops at 0.5 s, before the end its header announces");
        PipeFeeder pipe(cut);
        AudioInput fromPipe;
        ASSERT_TRUE(fromPipe.openFileDescriptor(pipe.readEnd(), {}, error)) << error;
        EXPECT_EQ(readToTheEnd(fromPipe).size(), 24000u);
        EXPECT_EQ(fromPipe.error(), "is cut short: its audio stops at 0.5 s of the 1.0 s its header announces");
    }

    // An Ogg stream announces no length; a whole one ends with a page that closes it. Cut at a page's
    // end or in the middle of one, it ends without.
    const auto ogg = scratchPath("whole.ogg");
    writeSoundFile(ogg, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2, 48000, tones);
    const std::string bytes = fileBytes(ogg);
    const std::size_t lastPage = bytes.rfind("OggS");
    ASSERT_NE(lastPage, std::string::npos);
    for (const std::size_t length : {lastPage, bytes.size() / 2}) {
        SCOPED_TRACE(length);
        const std::string cut = bytes.substr(0, length);
        const auto path = saved("cut.ogg", cut);
        for (const bool piped : {false, true}) {
            PipeFeeder pipe(cut);
            AudioInput input;
            std::string error;
            ASSERT_TRUE(piped ? input.openFileDescriptor(pipe.readEnd(), {}, error) : input.openFile(path.string(), {}, error)) << error;
            const auto samples = readToTheEnd(input);
            EXPECT_LT(samples.size(), 48000u);
            char stop[16];
            std::snprintf(stop, sizeof stop, "%.1f s", static_cast<double>(samples.size()) / 48000);
            EXPECT_EQ(input.error(), "is cut short: its audio stops at " + std::string(stop) + ", before the end of its Ogg stream")
                << (piped ? "from a pipe" : "by name");
        }
    }
}

TEST(AudioInput, AnEmptyRawFileIsRefusedAndBytesShortOfAFrameAtTheEndAreSaid) {
    const auto empty = saved("empty.raw", "");
    AudioInput audio;
    IqInput iq;
    std::string error;
    EXPECT_FALSE(audio.openRaw(empty.string(), {}, {}, error));
    EXPECT_EQ(error, "is empty");
    error.clear();
    EXPECT_FALSE(iq.openRaw(empty.string(), IqFormat::Cu8, 2400000, error));
    EXPECT_EQ(error, "is empty");

    // Five frames of 16-bit stereo and three bytes of a sixth, by name: the five, then a word.
    std::string bytes;
    for (char n = 1; n <= 5; ++n) bytes += std::string{static_cast<char>(n * 10), 0, 0, 0};
    const auto raw = saved("part.raw", bytes + "\x07\x08\x09");
    ASSERT_TRUE(audio.openRaw(raw.string(), {RawSampleFormat::S16, 2, 48000}, {}, error)) << error;
    EXPECT_EQ(readToTheEnd(audio), (std::vector<double>{10, 20, 30, 40, 50}));
    EXPECT_EQ(audio.error(), "ends with 3 bytes, less than a whole frame of 2 channels of s16 (4 bytes); the audio before them is decoded");
}

TEST(AudioInput, Mp3IsTheAudioLibsndfileDecodesAndADamagedOneIsCalledDamaged) {
    const auto mp3 = scratchPath("tones.mp3");
    writeSoundFile(mp3, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 2, 48000, stereoTones(4 * 48000));
    SF_INFO info{};
    SNDFILE* file = sf_open(mp3.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<double> decoded(static_cast<std::size_t>(info.frames) * 2);
    ASSERT_EQ(sf_readf_double(file, decoded.data(), info.frames), info.frames);
    sf_close(file);
    std::string error;
    AudioInput input;
    ASSERT_TRUE(input.openFile(mp3.string(), {0, 2}, error)) << error;
    EXPECT_EQ(input.announcedFrames(), info.frames);
    EXPECT_EQ(readToTheEnd(input), channel(decoded, 1, 0));
    EXPECT_EQ(input.error(), "");

    // Its middle overwritten: the audio up to there, and the decoder's reason for stopping.
    std::string bytes = fileBytes(mp3);
    std::uint32_t noise = 12345;
    for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 2000; ++i) {
        noise = noise * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(noise >> 24);
    }
    ASSERT_TRUE(input.openFile(saved("damaged.mp3", bytes).string(), {}, error)) << error;
    const auto before = readToTheEnd(input);
    EXPECT_GT(before.size(), 72000u);
    EXPECT_LT(before.size(), 120000u);
    EXPECT_EQ(input.error().rfind("is damaged at ", 0), 0u) << input.error();
    EXPECT_TRUE(input.error().ends_with(" s: libmpg123 finds no MPEG audio it can decode after it")) << input.error();

    // A frame header and nothing of use after it: damaged, not missing.
    EXPECT_FALSE(input.openFile(saved("noise.mp3", bytes.substr(0, 4) + bytes.substr(bytes.size() / 2, 2000)).string(), {}, error));
    EXPECT_EQ(error, "is damaged MPEG audio: libmpg123 finds no frame in it that it can decode");
}

TEST(AudioInput, UnusableInputsAreRefusedWithAReasonThatFollowsTheirName) {
    const auto refusal = [](const std::filesystem::path& path, ChannelChoice channels = {}) {
        AudioInput input;
        std::string error;
        EXPECT_FALSE(input.openFile(path.string(), channels, error)) << path;
        std::vector<double> block(10);
        EXPECT_EQ(input.read(block), 0u);
        return error;
    };
    EXPECT_EQ(refusal(scratchPath("missing.wav")), "cannot be opened: No such file or directory");
    EXPECT_EQ(refusal(scratchPath("missing.wav").parent_path()), "is a directory");
    const auto empty = scratchPath("empty.wav");
    std::ofstream{empty};
    EXPECT_EQ(refusal(empty), "is empty");
    const auto text = scratchPath("notes.wav");
    std::ofstream(text) << "a shopping list, not a recording";
    EXPECT_EQ(refusal(text), "is not a sound file libsndfile can read: format not recognised");
    for (const int rate : {4000, 500000}) {
        const auto path = scratchPath("rate.wav");
        writeSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, rate, std::vector<double>(100));
        EXPECT_EQ(refusal(path), "is sampled at " + std::to_string(rate) + " Hz; 8000 to 384000 Hz are supported");
    }
    const auto stereo = scratchPath("stereo.wav");
    writeSoundFile(stereo, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 48000, std::vector<double>(100));
    EXPECT_EQ(refusal(stereo, {2, 1}), "has 2 channels; there is no channel 3");

    AudioInput raw;
    std::string error;
    EXPECT_FALSE(raw.openRaw(scratchPath("missing.raw").string(), {}, {}, error));
    EXPECT_EQ(error, "cannot be opened: No such file or directory");
    EXPECT_FALSE(raw.openRaw("-", {RawSampleFormat::S16, 2, 1000}, {}, error));
    EXPECT_EQ(error, "is sampled at 1000 Hz; 8000 to 384000 Hz are supported");
}

const char* iqFormatName(IqFormat format) {
    switch (format) {
        case IqFormat::Cu8:
            return "cu8";
        case IqFormat::Cs8:
            return "cs8";
        case IqFormat::Cs16:
            return "cs16";
        case IqFormat::Cf32:
            return "cf32";
    }
    return "";
}

TEST(IqInput, RawStreamsAndTwoChannelFilesAtTheirOwnRateScaledToOne) {
    struct Case {
        IqFormat format;
        std::vector<unsigned char> bytes;  // two samples
        std::complex<float> first;
        std::complex<float> second;
    };
    for (const Case& test : std::vector<Case>{
             {IqFormat::Cu8, {0, 255, 127, 128}, {-1.0f, 1.0f}, {-0.5f / 127.5f, 0.5f / 127.5f}},
             {IqFormat::Cs8, {0x80, 0x7F, 0, 0x40}, {-1.0f, 127 / 128.0f}, {0.0f, 0.5f}},
             {IqFormat::Cs16, {0x00, 0x80, 0xFF, 0x7F, 0, 0, 0x00, 0x40}, {-1.0f, 32767 / 32768.0f}, {0.0f, 0.5f}},
             {IqFormat::Cf32, {0, 0, 0x80, 0xBF, 0, 0, 0, 0x3F, 0, 0, 0, 0, 0, 0, 0x80, 0x3E}, {-1.0f, 0.5f}, {0.0f, 0.25f}},
         }) {
        std::string bytes(test.bytes.begin(), test.bytes.end());
        bytes += '\x01';  // part of a sample at the end: left out, and said
        IqInput input;
        std::string error;
        ASSERT_TRUE(input.openRawStream(fmemopen(bytes.data(), bytes.size(), "rb"), true, test.format, 2400000, error)) << error;
        EXPECT_EQ(input.sampleRate(), 2400000);
        std::vector<std::complex<float>> samples(5);
        ASSERT_EQ(input.read(samples), 2u);
        EXPECT_EQ(samples[0], test.first);
        EXPECT_NEAR(samples[1].real(), test.second.real(), 1e-7);
        EXPECT_NEAR(samples[1].imag(), test.second.imag(), 1e-7);
        EXPECT_EQ(input.read(samples), 0u);
        EXPECT_EQ(input.error(), "ends with 1 byte, less than a whole " + std::string(iqFormatName(test.format)) + " IQ sample (" +
                                     std::to_string(test.bytes.size() / 2) + " bytes); the audio before it is decoded");
    }

    // I left, Q right, at the file's rate, not resampled (a rate no audio input would take).
    std::vector<double> iq;
    for (int n = 0; n < 1000; ++n) {
        iq.push_back(std::cos(0.1 * n) / 2);
        iq.push_back(std::sin(0.1 * n) / 2);
    }
    const auto path = scratchPath("iq.wav");
    writeSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 1000000, iq);
    IqInput file;
    std::string error;
    ASSERT_TRUE(file.openFile(path.string(), error)) << error;
    EXPECT_EQ(file.sampleRate(), 1000000);
    std::vector<std::complex<float>> samples(1500);
    ASSERT_EQ(file.read(samples), 1000u);
    for (std::size_t n = 0; n < 1000; n += 97) {
        EXPECT_FLOAT_EQ(samples[n].real(), static_cast<float>(iq[2 * n]));
        EXPECT_FLOAT_EQ(samples[n].imag(), static_cast<float>(iq[2 * n + 1]));
    }
    const auto mono = scratchPath("mono.wav");
    writeSoundFile(mono, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, std::vector<double>(10));
    EXPECT_FALSE(file.openFile(mono.string(), error));
    EXPECT_EQ(error, "has 1 channel; IQ needs two (I left, Q right)");
}

}  // namespace
}  // namespace sondeco
