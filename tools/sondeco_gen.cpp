// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-gen: writes a DGPS beacon test signal as a WAV file, to check a receiver chain or to try
// the decoder without a beacon in range; or a piece of the band with several beacons and carriers, as
// an SDR's complex baseband (raw IQ or a two-channel WAV file) or as audio holding several beacons.

#include "audio/audio_format.h"
#include "audio/kiwi_wav.h"
#include "audio/raw_stream.h"
#include "audio/recording_tuning.h"
#include "audio/sound_file_writer.h"
#include "rtcm/serial_format.h"
#include "signalgen/band_signal.h"
#include "signalgen/msk_modulator.h"
#include "signalgen/simulated_beacon.h"
#include "tools/command_line.h"
#include "tools/gen_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace sondeco;

// The transmitted bits of a 6-of-8 stream, without collectors' '#' comment lines.
std::optional<std::vector<std::uint8_t>> readRtcmStream(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot be read";
        return std::nullopt;
    }
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<std::uint8_t> bits;
    SerialCaptureReader().feed(bytes, [&bits](std::uint8_t bit) { bits.push_back(bit); });
    if (file.bad()) {
        error = "cannot be read";
        return std::nullopt;
    }
    if (bits.empty()) {
        error = "holds no RTCM data bytes (0x40..0x7F)";
        return std::nullopt;
    }
    return bits;
}

// Where the bits come from: the simulated station, or a recorded stream played in a loop.
class BitSource {
public:
    explicit BitSource(const GenOptions& options) {
        if (!options.rtcmFile) {
            BeaconSettings settings;
            if (options.stationId) settings.stationId = *options.stationId;
            if (options.messageTypes) settings.messageTypes = *options.messageTypes;
            settings.startSecondsIntoHour = options.zCount ? *options.zCount * 0.6 : gpsSecondsIntoHour();
            settings.bitRate = options.bitRate;
            if (options.randomContents) settings.randomContentSeed = options.seed;
            beacon_.emplace(settings);
        }
    }
    void setStream(std::vector<std::uint8_t> bits) { stream_ = std::move(bits); }

    std::vector<std::uint8_t> next() {
        if (beacon_) {
            std::vector<std::uint8_t> bits;
            beacon_->appendNextFrame(bits);
            return bits;
        }
        return stream_;
    }

private:
    std::optional<SimulatedBeacon> beacon_;
    std::vector<std::uint8_t> stream_;
};

// Several beacons and carriers: audio in a stereo WAV file like the single beacon's, or complex
// baseband as raw IQ or a two-channel WAV file.
int runBand(const GenOptions& options) {
    BandSignal band(options.band);
    const auto total = static_cast<std::size_t>(std::llround(options.seconds * options.band.sampleRate));
    constexpr std::size_t Block = 65536;
    std::string error;
    const auto failed = [&options](const std::string& why) {
        std::fprintf(stderr, "sondeco-gen: %s %s\n", options.output.c_str(), why.c_str());
        return 1;
    };

    if (options.iq && options.format == "kiwi") {
        // Stamped from the time in the name, as kiwirecorder names its files, so that a reader
        // finds the two agree; else from now.
        const auto named = tuningFromFileName(options.output).startUtcSeconds;
        const double start = named ? static_cast<double>(*named)
                                   : std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        KiwiWavWriter writer;
        if (!writer.open(options.output, static_cast<int>(options.band.sampleRate), start, error)) return failed(error);
        std::vector<std::complex<float>> samples(Block);
        for (std::size_t done = 0; done < total;) {
            const std::size_t count = std::min(Block, total - done);
            band.render(std::span(samples).first(count));
            if (!writer.write(samples.data(), count)) break;  // close() reports it
            done += count;
        }
        if (!writer.close(error)) return failed(error);
        return 0;
    }

    if (options.writesWav()) {
        SoundFileWriter writer;
        const WavSampleFormat sampleFormat = options.format == "cf32"   ? WavSampleFormat::Float
                                             : options.format == "cs32" ? WavSampleFormat::Pcm32
                                                                        : WavSampleFormat::Pcm16;
        if (!writer.open(options.output, 2, static_cast<int>(options.band.sampleRate), error, sampleFormat)) return failed(error);
        std::vector<std::complex<float>> samples(Block);
        std::vector<float> audio(Block);
        std::vector<float> interleaved(2 * Block);
        for (std::size_t done = 0; done < total;) {
            const std::size_t count = std::min(Block, total - done);
            if (options.iq) {
                band.render(std::span(samples).first(count));
                for (std::size_t i = 0; i < count; ++i) {
                    interleaved[2 * i] = samples[i].real();
                    interleaved[2 * i + 1] = samples[i].imag();
                }
            } else {
                // The audio is laid out as a sound card hands it over: the signal left, the right silent.
                band.render(std::span(audio).first(count));
                for (std::size_t i = 0; i < count; ++i) {
                    interleaved[2 * i] = audio[i];
                    interleaved[2 * i + 1] = 0.0f;
                }
            }
            if (!writer.writeFrames(interleaved.data(), count)) break;  // close() reports it
            done += count;
        }
        if (!writer.close(error)) return failed(error);
        return 0;
    }

    const IqFormat format = *iqFormatNamed(*options.format);
    std::FILE* file = options.output == "-" ? stdout : std::fopen(options.output.c_str(), "wb");
    if (file == nullptr) return failed(std::string("cannot be written: ") + std::strerror(errno));
    std::vector<std::complex<float>> samples(Block);
    std::vector<unsigned char> bytes(Block * static_cast<std::size_t>(bytesPerIqSample(format)));
    int writeError = 0;
    for (std::size_t done = 0; done < total && writeError == 0;) {
        const std::size_t count = std::min(Block, total - done);
        band.render(std::span(samples).first(count));
        encodeIqSamples(format, samples.data(), count, bytes.data());
        const std::size_t length = count * static_cast<std::size_t>(bytesPerIqSample(format));
        errno = 0;
        if (std::fwrite(bytes.data(), 1, length, file) != length) writeError = errno != 0 ? errno : EIO;
        done += count;
    }
    errno = 0;
    if (std::fflush(file) != 0 && writeError == 0) writeError = errno != 0 ? errno : EIO;
    if (file != stdout && std::fclose(file) != 0 && writeError == 0) writeError = errno != 0 ? errno : EIO;
    if (writeError != 0) return failed(std::string("cannot be written: ") + std::strerror(writeError));
    return 0;
}

int run(const GenOptions& options) {
    if (options.isBand()) return runBand(options);
    BitSource source(options);
    if (options.rtcmFile) {
        std::string error;
        auto bits = readRtcmStream(*options.rtcmFile, error);
        if (!bits) {
            std::fprintf(stderr, "sondeco-gen: %s %s\n", options.rtcmFile->c_str(), error.c_str());
            return 1;
        }
        source.setStream(std::move(*bits));
    }

    MskSettings settings;
    settings.bitRate = options.bitRate;
    settings.centreFrequency = options.centreFrequency;
    settings.frequencyOffset = options.frequencyOffset;
    settings.clockErrorPpm = options.clockErrorPpm;
    settings.driftHzPerSecond = options.driftHzPerSecond;
    if (!options.staticBursts.empty()) {
        settings.staticBurstsPerSecond = options.staticBursts[0];
        settings.staticPeakDb = options.staticBursts[1];
    }
    settings.rayleighDopplerHz = options.rayleighDopplerHz;
    if (!options.fading.empty()) {
        settings.fadingDepthDb = options.fading[0];
        settings.fadingPeriodSeconds = options.fading[1];
    }
    settings.ebN0Db = options.ebN0Db;
    settings.leadingSeconds = options.leadingSeconds;
    settings.noiseSeed = options.seed;
    MskModulator modulator(settings);

    SoundFileWriter writer;
    std::string error;
    if (!writer.open(options.output, CaptureChannels, SampleRate, error)) {
        std::fprintf(stderr, "sondeco-gen: %s %s\n", options.output.c_str(), error.c_str());
        return 1;
    }

    const auto totalFrames = static_cast<std::size_t>(std::llround(options.seconds * SampleRate));
    std::vector<double> signal(FramesPerBuffer);
    std::vector<std::int16_t> interleaved(static_cast<std::size_t>(SamplesPerBuffer));
    for (std::size_t done = 0; done < totalFrames;) {
        const std::size_t frames = std::min<std::size_t>(FramesPerBuffer, totalFrames - done);
        std::size_t filled = 0;
        while (filled < frames) {
            filled += modulator.render(std::span(signal).subspan(filled, frames - filled));
            if (filled < frames) modulator.pushBits(source.next());
        }
        for (std::size_t i = 0; i < frames; ++i) {
            interleaved[2 * i] = toPcm16(signal[i]);
            interleaved[2 * i + 1] = 0;
        }
        if (!writer.writeFrames(interleaved.data(), frames)) break;  // close() reports it
        done += frames;
    }
    if (!writer.close(error)) {
        std::fprintf(stderr, "sondeco-gen: %s %s\n", options.output.c_str(), error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    GenOptions options;
    CommandLine commandLine("sondeco-gen");
    declareGenOptions(commandLine.app(), options);
    return runTool(
        "sondeco-gen", GenUsage, commandLine, argc, argv, [&] { checkGenOptions(options, commandLine.app()); },
        [&] { return run(options); });
}
