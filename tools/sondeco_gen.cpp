// sondeco-gen: writes a DGPS beacon test signal as a WAV file, to check a receiver chain or to try
// the decoder without a beacon in range.

#include "audio/audio_format.h"
#include "audio/sound_file_writer.h"
#include "rtcm/serial_format.h"
#include "signalgen/msk_modulator.h"
#include "signalgen/simulated_beacon.h"
#include "tools/command_line.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

constexpr const char* Usage =
    "Usage: sondeco-gen [options] OUTPUT.wav\n"
    "Writes a DGPS beacon test signal: RTCM SC-104 version 2 frames, MSK-modulated, as a\n"
    "48000 Hz 16-bit stereo WAV file (the signal on the left channel, the right one silent).\n"
    "\n"
    "  --rate R           bit rate in bit/s: 25, 50, 100 or 200 (default 200)\n"
    "  --freq HZ          centre frequency (tone) of the signal in Hz, 100..20000 (default 800)\n"
    "  --seconds N        length of the file in seconds, leading time included (default 30)\n"
    "  --station ID       reference station ID, 0..1023 (default 491)\n"
    "  --types LIST       message types to send in turn, comma-separated, from\n"
    "                     1,3,5,6,7,9,16,31,32,33,34,35 (default: a beacon's usual mix,\n"
    "                     type 9 most often)\n"
    "  --zcount Z         modified Z-count of the first frame, 0..5999 (default: the\n"
    "                     present GPS time)\n"
    "  --ebn0 DB          add white Gaussian noise at this Eb/N0 in dB (default: none)\n"
    "  --offset HZ        carrier frequency offset in Hz (default 0)\n"
    "  --clock-ppm PPM    bit clock error in parts per million; positive is fast (default 0)\n"
    "  --drift HZ_PER_S   the carrier drifts by this much a second from the first bit (default 0)\n"
    "  --static BURSTS_PER_S,PEAK_DB\n"
    "                     atmospheric static: 2 ms damped bursts this often, at random, each\n"
    "                     starting this many dB above the signal (default: none)\n"
    "  --fading DEPTH_DB,PERIOD_S\n"
    "                     slow fading of the signal, this deep, with this period (default: none)\n"
    "  --leading SECONDS  audio without signal before the first bit (default 0)\n"
    "  --seed N           seed of the noise, for a repeatable file (default 1)\n"
    "  --rtcm FILE        send the bits of an RTCM 6-of-8 byte stream as they are, instead of\n"
    "                     generated frames; lines starting with '#' are skipped, and the\n"
    "                     stream is repeated to fill the file\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the version and exit\n";

struct Options {
    int bitRate = 200;
    double driftHzPerSecond = 0.0;
    std::vector<double> staticBursts;  // bursts a second, peak dB
    std::vector<double> fading;  // depth dB, period s
    double centreFrequency = 800.0;
    double seconds = 30.0;
    std::optional<int> stationId;
    std::optional<std::vector<int>> messageTypes;
    std::optional<int> zCount;
    std::optional<double> ebN0Db;
    double frequencyOffset = 0.0;
    double clockErrorPpm = 0.0;
    double leadingSeconds = 0.0;
    std::uint64_t seed = 1;
    std::optional<std::string> rtcmFile;
    std::string output;
};

std::vector<int> parseTypes(const std::string& text) {
    std::vector<int> types;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        int type = -1;
        if (!CLI::detail::lexical_cast(item, type) || !isSimulatedMessageType(type)) {
            throw UsageError("--types: message type '" + item + "' is not one this generator can fill");
        }
        types.push_back(type);
    }
    if (types.empty() || text.back() == ',') throw UsageError("--types needs a comma-separated list of types");
    return types;
}

void declareOptions(CLI::App& app, Options& options, std::string& typeList) {
    app.add_option("--rate", options.bitRate)->check(CLI::IsMember({25, 50, 100, 200}));
    app.add_option("--drift", options.driftHzPerSecond)->check(CLI::Range(-100.0, 100.0));
    app.add_option("--static", options.staticBursts)->delimiter(',')->expected(2);
    app.add_option("--fading", options.fading)->delimiter(',')->expected(2);
    app.add_option("--freq", options.centreFrequency)->check(CLI::Range(100.0, 20000.0));
    app.add_option("--seconds", options.seconds)->check(CLI::Range(1e-6, 86400.0));
    app.add_option("--station", options.stationId)->check(CLI::Range(0, 1023));
    app.add_option("--types", typeList);
    app.add_option("--zcount", options.zCount)->check(CLI::Range(0, 5999));
    app.add_option("--ebn0", options.ebN0Db)->check(CLI::Range(-30.0, 100.0));
    app.add_option("--offset", options.frequencyOffset);
    app.add_option("--clock-ppm", options.clockErrorPpm)->check(CLI::Range(-100000.0, 100000.0));
    app.add_option("--leading", options.leadingSeconds)->check(CLI::NonNegativeNumber);
    // Unsigned options take "-1" as the largest value: read the seed signed and refuse negatives.
    app.add_option_function<long long>("--seed", [&options](long long seed) { options.seed = static_cast<std::uint64_t>(seed); })
        ->check(CLI::Range(0LL, std::numeric_limits<long long>::max()));
    app.add_option("--rtcm", options.rtcmFile);
    app.add_option("output", options.output)->required();
}

// What the declarations cannot check: options that exclude each other or together leave no signal.
void checkOptions(Options& options, const std::string& typeList, bool typesGiven) {
    if (typesGiven) options.messageTypes = parseTypes(typeList);
    if (options.leadingSeconds > options.seconds) throw UsageError("--leading is longer than --seconds");
    if (!options.staticBursts.empty() && (options.staticBursts[0] < 0.0 || options.staticBursts[0] > 1000.0 ||
                                          options.staticBursts[1] < -20.0 || options.staticBursts[1] > 80.0))
        throw UsageError("--static takes bursts a second (0..1000) and their peak above the signal (-20..80 dB)");
    if (!options.fading.empty() && (options.fading[0] < 0.0 || options.fading[0] > 60.0 || !(options.fading[1] > 0.0)))
        throw UsageError("--fading takes a depth of 0..60 dB and a period above 0 s");
    if (options.rtcmFile && (options.stationId || options.messageTypes || options.zCount)) {
        throw UsageError("--station, --types and --zcount describe generated frames; --rtcm sends a stream as it is");
    }
    const double lowTone = options.centreFrequency + options.frequencyOffset - options.bitRate / 4.0;
    const double highTone = options.centreFrequency + options.frequencyOffset + options.bitRate / 4.0;
    if (lowTone <= 0.0 || highTone >= SampleRate / 2.0) {
        throw UsageError("--offset moves the tones outside 0.." + std::to_string(SampleRate / 2) + " Hz");
    }
}

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

// GPS time runs ahead of UTC by the leap seconds since 1980; 18 since the start of 2017.
double gpsSecondsIntoHour() {
    constexpr double GpsMinusUtc = 18.0;
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const double seconds = std::chrono::duration<double>(sinceEpoch).count() + GpsMinusUtc;
    return std::fmod(seconds, 3600.0);
}

// Where the bits come from: the simulated station, or a recorded stream played in a loop.
class BitSource {
public:
    explicit BitSource(const Options& options) {
        if (!options.rtcmFile) {
            BeaconSettings settings;
            if (options.stationId) settings.stationId = *options.stationId;
            if (options.messageTypes) settings.messageTypes = *options.messageTypes;
            settings.startSecondsIntoHour = options.zCount ? *options.zCount * 0.6 : gpsSecondsIntoHour();
            settings.bitRate = options.bitRate;
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

int run(const Options& options) {
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
    Options options;
    std::string typeList;
    CommandLine commandLine("sondeco-gen");
    declareOptions(commandLine.app(), options, typeList);
    return runTool(
        "sondeco-gen", Usage, commandLine, argc, argv, [&] { checkOptions(options, typeList, commandLine.app().count("--types") > 0); },
        [&] { return run(options); });
}
