// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: any bytes as a recording for AudioInput, read the way the programs read one: a sound
// file through libsndfile from memory (its virtual I/O) or from a pipe, raw audio of any sample
// format, channel count and rate, and IQ from raw streams and two-channel files. The last bytes of
// the input choose which, the channels and the read sizes. Beyond never crashing:
// - an opened input is at 8000 to 384000 Hz, its chosen channels exist, and every sample that comes
//   out is a finite number within the bound the input's clamp and the resampler's filter allow;
// - at 48000 Hz the samples are the file's own, channel for channel, in 16-bit units; at any other
//   rate, as many as the rate conversion makes of the frames libsndfile reads, give or take one;
// - a damaged or cut file says so the same way however it is read, and a rewind gives the very same
//   audio and the same end again; a pipe cannot rewind;
// - a failed open leaves a reason and an input that reads nothing;
// - raw streams give one frame for each whole frame of bytes, and say so when bytes are left over;
//   IQ from integers stays within +-1;
// - 48 kHz audio written back by SoundFileWriter reads back unchanged.

#include "audio/audio_input.h"
#include "audio/iq_input.h"
#include "audio/sound_file_writer.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace sondeco;

// Beyond 1000 times full scale the input is clamped. The resampler's filter can make a peak of up to
// the sum of its taps' magnitudes times that (2.4 for the worst of random signs found at 8 kHz);
// eight times is far beyond any filter of ours, and far below anything that overflows.
constexpr double Bound = 8 * 1000 * 32768.0;

struct Pass {
    std::vector<double> samples;
    std::string error;
};

Pass readToEnd(AudioInput& input, std::uint32_t& blockSeed) {
    const auto channels = static_cast<std::size_t>(input.outputChannels());
    Pass pass;
    std::vector<double> block;
    for (;;) {
        blockSeed = blockSeed * 1103515245u + 12345u;
        const std::size_t want = 1 + (blockSeed >> 8) % 6000;
        block.resize(want * channels);
        const std::size_t got = input.read(block);
        FUZZ_CHECK(got <= want);
        pass.samples.insert(pass.samples.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got * channels));
        if (got < want) break;
    }
    // Once at the end it stays there.
    FUZZ_CHECK(input.read(block) == 0);
    for (const double sample : pass.samples) FUZZ_CHECK(std::isfinite(sample) && std::abs(sample) <= Bound);
    pass.error = input.error();
    return pass;
}

double sane(double sample) { return std::isfinite(sample) ? std::clamp(sample * 32768.0, -1000 * 32768.0, 1000 * 32768.0) : 0.0; }

// What libsndfile itself reads of the file: every frame, every channel.
struct Source {
    std::vector<double> samples;
    std::size_t frames = 0;
    std::string error;
};

Source readSource(const std::string& bytes) {
    SoundFileReader reader;
    std::string error;
    Source source;
    FUZZ_CHECK(reader.openMemory(bytes, error));
    std::vector<double> block(4096 * static_cast<std::size_t>(reader.info().channels));
    while (const std::size_t got = reader.readFrames(block.data(), 4096)) {
        source.samples.insert(source.samples.end(), block.begin(),
                              block.begin() + static_cast<std::ptrdiff_t>(got) * reader.info().channels);
        source.frames += got;
    }
    source.error = reader.error();
    return source;
}

const std::string& scratchWav() {
    static const fuzzing::ScratchFile file("sondeco-fuzz-wav");
    return file.path();
}

void checkWriterRoundTrip(const Pass& pass, int channels) {
    std::vector<std::int16_t> pcm(pass.samples.size());
    std::transform(pass.samples.begin(), pass.samples.end(), pcm.begin(),
                   [](double s) { return static_cast<std::int16_t>(std::lround(std::clamp(s, -32768.0, 32767.0))); });
    SoundFileWriter writer;
    std::string error;
    FUZZ_CHECK(writer.open(scratchWav(), channels, 48000, error));
    FUZZ_CHECK(writer.writeFrames(pcm.data(), pcm.size() / static_cast<std::size_t>(channels)));
    FUZZ_CHECK(writer.close(error));
    AudioInput input;
    FUZZ_CHECK(input.openFile(scratchWav(), {0, channels}, error));
    std::uint32_t seed = 1;
    const Pass back = readToEnd(input, seed);
    FUZZ_CHECK(back.error.empty());
    FUZZ_CHECK(std::equal(back.samples.begin(), back.samples.end(), pcm.begin(), pcm.end()));
}

void soundFileFromMemory(const std::string& bytes, ChannelChoice choice, std::uint32_t blockSeed, bool writeBack) {
    AudioInput input;
    std::string error;
    if (!input.openFileInMemory(bytes, choice, error)) {
        FUZZ_CHECK(!error.empty());
        std::vector<double> block(16);
        FUZZ_CHECK(input.read(block) == 0);
        FUZZ_CHECK(!input.rewind());
        return;
    }
    FUZZ_CHECK(input.inputRate() >= AudioInput::LowestRate && input.inputRate() <= AudioInput::HighestRate);
    FUZZ_CHECK(choice.first < input.inputChannels());
    FUZZ_CHECK(input.outputChannels() >= 1 && input.outputChannels() <= choice.count);
    FUZZ_CHECK(input.outputChannels() <= input.inputChannels() - choice.first);
    const auto channels = static_cast<std::size_t>(input.outputChannels());

    const Pass first = readToEnd(input, blockSeed);
    const Source source = readSource(bytes);
    FUZZ_CHECK(first.error == source.error);
    const std::size_t frames = first.samples.size() / channels;
    if (input.inputRate() == AudioInput::OutputRate) {
        FUZZ_CHECK(frames == source.frames);
        const auto all = static_cast<std::size_t>(input.inputChannels());
        for (std::size_t n = 0; n < frames; ++n)
            for (std::size_t c = 0; c < channels; ++c)
                FUZZ_CHECK(first.samples[n * channels + c] == sane(source.samples[n * all + static_cast<std::size_t>(choice.first) + c]));
    } else {
        const double expected = static_cast<double>(source.frames) * AudioInput::OutputRate / input.inputRate();
        FUZZ_CHECK(std::abs(static_cast<double>(frames) - expected) <= 1.0);
    }

    // The desktop program loops a recording: back to the first frame and the same audio again.
    FUZZ_CHECK(input.rewind());
    const Pass second = readToEnd(input, blockSeed);
    FUZZ_CHECK(second.samples == first.samples);
    FUZZ_CHECK(second.error == first.error);

    if (writeBack && input.inputRate() == AudioInput::OutputRate) checkWriterRoundTrip(first, input.outputChannels());
}

void soundFileFromPipe(const std::string& bytes, ChannelChoice choice, std::uint32_t blockSeed) {
    // The whole input fits the pipe's buffer, so it is written before reading begins.
    int ends[2];
    FUZZ_CHECK(::pipe(ends) == 0);
    FUZZ_CHECK(::write(ends[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(ends[1]);
    AudioInput input;
    std::string error;
    if (input.openFileDescriptor(ends[0], choice, error)) {
        FUZZ_CHECK(input.inputRate() >= AudioInput::LowestRate && input.inputRate() <= AudioInput::HighestRate);
        readToEnd(input, blockSeed);
        FUZZ_CHECK(!input.rewind());
    } else {
        FUZZ_CHECK(!error.empty());
    }
    ::close(ends[0]);
}

void rawAudio(std::string& bytes, RawAudioFormat format, ChannelChoice choice, std::uint32_t blockSeed) {
    AudioInput input;
    std::string error;
    std::FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
    FUZZ_CHECK(stream != nullptr);
    if (!input.openRawStream(stream, true, format, choice, error)) {
        FUZZ_CHECK(!error.empty() && choice.first >= format.channels);
        return;
    }
    const std::size_t frameBytes = static_cast<std::size_t>(bytesPerSample(format.sample)) * static_cast<std::size_t>(format.channels);
    const std::size_t whole = bytes.size() / frameBytes;
    const Pass pass = readToEnd(input, blockSeed);
    FUZZ_CHECK(pass.error.empty() == (bytes.size() % frameBytes == 0));
    const double expected = static_cast<double>(whole) * AudioInput::OutputRate / format.sampleRate;
    FUZZ_CHECK(std::abs(static_cast<double>(pass.samples.size() / static_cast<std::size_t>(input.outputChannels())) - expected) <= 1.0);
}

void checkIq(IqInput& input, std::size_t expected, bool integers, std::uint32_t blockSeed) {
    std::size_t total = 0;
    std::vector<std::complex<float>> block;
    for (;;) {
        blockSeed = blockSeed * 1103515245u + 12345u;
        block.resize(1 + (blockSeed >> 8) % 3000);
        const std::size_t got = input.read(block);
        for (std::size_t i = 0; i < got; ++i) {
            FUZZ_CHECK(std::isfinite(block[i].real()) && std::isfinite(block[i].imag()));
            if (integers) FUZZ_CHECK(std::abs(block[i].real()) <= 1.0f && std::abs(block[i].imag()) <= 1.0f);
        }
        total += got;
        if (got < block.size()) break;
    }
    if (expected != static_cast<std::size_t>(-1)) FUZZ_CHECK(total == expected);
}

}  // namespace

// libsndfile 1.2.0 keeps the Vorbis header record of an Ogg file whose headers it finds broken
// (regressions/fuzz_wav_reader/libsndfile-keeps-a-broken-ogg-header): its leak, not ours, and
// nothing we are handed to free. The codecs it drives are named by module rather than by function:
// a module name is known without llvm-symbolizer, a function name is not, and the next version of a
// codec may leak from another function. libsndfile itself is not named, so that a handle we forget
// to close is still reported.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libvorbis.so\nleak:libvorbisenc.so\nleak:libogg.so\nleak:libFLAC.so\nleak:libopus.so\nleak:libmpg123.so\n"
           "leak:libmp3lame.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int mode = input.ConsumeIntegralInRange<int>(0, 7);
    ChannelChoice choice{input.ConsumeIntegralInRange<int>(0, 2), input.ConsumeIntegralInRange<int>(1, 3)};
    const bool writeBack = input.ConsumeIntegralInRange<int>(0, 3) == 0;
    constexpr std::array<RawSampleFormat, 4> rawFormats{RawSampleFormat::S16, RawSampleFormat::S32, RawSampleFormat::F32,
                                                        RawSampleFormat::U8};
    constexpr std::array<IqFormat, 4> iqFormats{IqFormat::Cu8, IqFormat::Cs8, IqFormat::Cs16, IqFormat::Cf32};
    constexpr std::array<int, 7> rates{8000, 11025, 44100, 48000, 96000, 384000, 48000};
    const std::size_t formatPick = input.ConsumeIntegralInRange<std::size_t>(0, 3);
    const int rawChannels = input.ConsumeIntegralInRange<int>(1, 4);
    const int rate = rates[input.ConsumeIntegralInRange<std::size_t>(0, rates.size() - 1)];
    auto blockSeed = input.ConsumeIntegral<std::uint32_t>();
    std::string bytes = input.ConsumeRemainingBytesAsString();
    if (bytes.empty()) return 0;  // fmemopen takes no empty buffer; an empty file is refused before libsndfile sees it

    if (mode <= 3 || (mode == 4 && bytes.size() > 65536)) {
        soundFileFromMemory(bytes, choice, blockSeed, writeBack);
    } else if (mode == 4) {
        soundFileFromPipe(bytes, choice, blockSeed);
    } else if (mode == 5) {
        rawAudio(bytes, {rawFormats[formatPick], rawChannels, rate}, choice, blockSeed);
    } else if (mode == 6) {
        IqInput iq;
        std::string error;
        const IqFormat format = iqFormats[formatPick];
        FUZZ_CHECK(iq.openRawStream(fmemopen(bytes.data(), bytes.size(), "rb"), true, format, 2400000, error));
        checkIq(iq, bytes.size() / static_cast<std::size_t>(bytesPerIqSample(format)), format != IqFormat::Cf32, blockSeed);
    } else {
        IqInput iq;
        std::string error;
        if (iq.openFileInMemory(bytes, error)) {
            checkIq(iq, static_cast<std::size_t>(-1), false, blockSeed);
        } else {
            FUZZ_CHECK(!error.empty());
        }
    }
    return 0;
}
