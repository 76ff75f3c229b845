// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-gen: writes a DGPS beacon test signal as a WAV file, to check a receiver chain or to try
// the decoder without a beacon in range; or a piece of the band with several beacons and carriers, as
// an SDR's complex baseband (raw IQ or a two-channel WAV file) or as audio holding several beacons.

#include "audio/audio_format.h"
#include "audio/raw_stream.h"
#include "audio/sound_file_writer.h"
#include "rtcm/serial_format.h"
#include "signalgen/band_signal.h"
#include "signalgen/msk_modulator.h"
#include "signalgen/simulated_beacon.h"
#include "tools/command_line.h"

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

constexpr const char* Usage =
    "Usage: sondeco-gen [options] OUTPUT.wav\n"
    "       sondeco-gen --iq [options] OUTPUT|-\n"
    "Writes a DGPS beacon test signal: RTCM SC-104 version 2 frames, MSK-modulated, as a\n"
    "48000 Hz 16-bit stereo WAV file (the signal on the left channel, the right one silent).\n"
    "With --beacon or --carrier, the file holds several beacons at audio tones (for\n"
    "sondeco-decode --scan); with --iq, complex baseband of the beacon band as an SDR\n"
    "delivers it: raw IQ (to standard output with -) or, for a .wav name, a two-channel\n"
    "WAV file (I left, Q right).\n"
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
    "\n"
    "Several beacons and the band:\n"
    "  --beacon FREQ[,RATE[,STATION[,EBN0]]]\n"
    "                     a beacon at FREQ Hz (radio frequency with --iq, audio tone\n"
    "                     without), at RATE bit/s (default --rate), with this station ID\n"
    "                     (default --station, one more for each further beacon) and Eb/N0\n"
    "                     in dB (default --ebn0, or 20); repeat for more beacons. Each starts\n"
    "                     within the first second at a time and phase drawn from --seed.\n"
    "  --carrier FREQ[,CN0]\n"
    "                     an unmodulated carrier (a non-directional beacon, a birdie) at FREQ\n"
    "                     Hz, CN0 dB-Hz above the noise density (default 45); repeatable.\n"
    "                     A beacon's C/N0 is its Eb/N0 plus 10 log10(rate): 12 dB at\n"
    "                     100 bit/s is 32 dB-Hz.\n"
    "  --iq               write complex baseband instead of audio\n"
    "  --center-freq HZ   the frequency at the stream's 0 Hz with --iq (default 304000)\n"
    "  --sample-rate HZ   complex samples a second with --iq, 48000..3200000 (default 250000)\n"
    "  --format F         sample format with --iq: raw cu8 (default; rtl_sdr's), cs8, cs16 or\n"
    "                     cf32, little-endian; a .wav file cs16 (default), cs32 or cf32\n"
    "Every signal lies within the middle 90 % of the stream's band (centre +-45 % of the\n"
    "sample rate with --iq, 0..21600 Hz without), a beacon with 3/4 of its rate either side.\n"
    "White Gaussian noise is added when --ebn0 is given or a --beacon or --carrier gives a\n"
    "level: N0 is the noise power over the sample rate (complex) or half of it (audio), as\n"
    "for a single beacon. The stream is scaled to an RMS of 20 % of full scale. --offset and\n"
    "--clock-ppm apply to every beacon, --leading delays them all; --freq, --drift,\n"
    "--static, --fading and --rtcm are for a single beacon in audio.\n"
    "With --iq and no --beacon, one beacon is sent at the centre frequency.\n"
    "\n"
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

    // The band: several beacons and carriers, complex or audio.
    bool iq = false;
    std::optional<double> bandCentre;  // --center-freq
    std::optional<int> sampleRate;
    std::optional<std::string> format;
    std::vector<std::string> beaconTexts;
    std::vector<std::string> carrierTexts;
    BandSettings band;  // filled in by checkOptions for the band
    bool isBand() const { return iq || !beaconTexts.empty() || !carrierTexts.empty(); }
    bool writesWav() const { return !iq || endsWithWav(output); }
    static bool endsWithWav(const std::string& name) {
        if (name.size() < 4) return false;
        std::string end = name.substr(name.size() - 4);
        for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return end == ".wav";
    }
};

constexpr double DefaultCentreFrequency = 304000.0;
constexpr int DefaultIqRate = 250000;
constexpr double DefaultBandEbN0 = 20.0;
constexpr double UsableBandFraction = 0.45;  // of the sample rate either side of the centre

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
    app.add_option("--rate", options.bitRate)->check(oneOf(std::vector<int>{25, 50, 100, 200}));
    app.add_option("--drift", options.driftHzPerSecond)->check(numberFrom(-100.0, 100.0));
    app.add_option("--static", options.staticBursts)->delimiter(',')->expected(2);
    app.add_option("--fading", options.fading)->delimiter(',')->expected(2);
    app.add_option("--freq", options.centreFrequency)->check(numberFrom(100.0, 20000.0));
    app.add_option("--seconds", options.seconds)->check(numberFrom(1e-6, 86400.0));
    app.add_option("--station", options.stationId)->check(wholeNumberFrom(0, 1023));
    app.add_option("--types", typeList);
    app.add_option("--zcount", options.zCount)->check(wholeNumberFrom(0, 5999));
    app.add_option("--ebn0", options.ebN0Db)->check(numberFrom(-30.0, 100.0));
    app.add_option("--offset", options.frequencyOffset);
    app.add_option("--clock-ppm", options.clockErrorPpm)->check(numberFrom(-100000.0, 100000.0));
    app.add_option("--leading", options.leadingSeconds)->check(numberFrom(0.0, 86400.0));
    // Unsigned options take "-1" as the largest value: read the seed signed and refuse negatives.
    app.add_option_function<long long>("--seed", [&options](long long seed) { options.seed = static_cast<std::uint64_t>(seed); })
        ->check(wholeNumberFrom(0LL, std::numeric_limits<long long>::max()));
    app.add_option("--rtcm", options.rtcmFile);
    addFlag(app, "--iq", options.iq);
    app.add_option("--center-freq", options.bandCentre)->check(numberFrom(0.0, 1e10));
    app.add_option("--sample-rate", options.sampleRate)->check(wholeNumberFrom(48000, 3200000));
    app.add_option("--format", options.format)->check(oneOf(std::vector<std::string>{"cu8", "cs8", "cs16", "cs32", "cf32"}));
    app.add_option("--beacon", options.beaconTexts)->expected(1)->take_all();
    app.add_option("--carrier", options.carrierTexts)->expected(1)->take_all();
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
    if (options.isBand()) return;  // the band's own checks follow
    const double lowTone = options.centreFrequency + options.frequencyOffset - options.bitRate / 4.0;
    const double highTone = options.centreFrequency + options.frequencyOffset + options.bitRate / 4.0;
    if (lowTone <= 0.0 || highTone >= SampleRate / 2.0) {
        throw UsageError("--offset moves the tones outside 0.." + std::to_string(SampleRate / 2) + " Hz");
    }
}

// GPS time runs ahead of UTC by the leap seconds since 1980; 18 since the start of 2017.
double gpsSecondsIntoHour() {
    constexpr double GpsMinusUtc = 18.0;
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const double seconds = std::chrono::duration<double>(sinceEpoch).count() + GpsMinusUtc;
    return std::fmod(seconds, 3600.0);
}

// "287500,100,491,12": the comma-separated numbers of a --beacon or --carrier, at most `most` of them.
std::vector<double> parseNumbers(const std::string& option, const std::string& text, std::size_t most) {
    std::vector<double> numbers;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        double number = 0.0;
        if (!CLI::detail::lexical_cast(item, number) || !std::isfinite(number)) {
            throw UsageError(option + " " + text + ": '" + item + "' is not a number");
        }
        numbers.push_back(number);
    }
    if (numbers.empty() || numbers.size() > most || text.back() == ',') {
        throw UsageError(option + " " + text + ": expected " + (most == 4 ? "FREQ[,RATE[,STATION[,EBN0]]]" : "FREQ[,CN0]"));
    }
    return numbers;
}

// The band's settings from the options, every value checked: signals inside the stream's band with
// a margin (an SDR's filters roll off towards its edges), rates and stations a beacon can have.
void checkBandOptions(Options& options, const CLI::App& app, const std::vector<int>* messageTypes) {
    if (!options.iq) {
        for (const char* name : {"--center-freq", "--sample-rate", "--format"}) {
            if (app.count(name) > 0) throw UsageError(std::string(name) + " describes complex baseband; it needs --iq");
        }
    }
    if (!options.isBand()) return;
    for (const char* name : {"--freq", "--drift", "--static", "--fading", "--rtcm"}) {
        if (app.count(name) > 0)
            throw UsageError(std::string(name) + " is for a single beacon; with --beacon, --carrier or --iq it has no meaning");
    }
    BandSettings& band = options.band;
    band.output = options.iq ? BandOutput::Complex : BandOutput::Real;
    band.sampleRate = options.iq ? options.sampleRate.value_or(DefaultIqRate) : SampleRate;
    band.centreFrequency = options.iq ? options.bandCentre.value_or(DefaultCentreFrequency) : 0.0;
    band.seed = options.seed;
    band.startSecondsIntoHour = options.zCount ? *options.zCount * 0.6 : gpsSecondsIntoHour();
    const double halfWidth = UsableBandFraction * band.sampleRate;
    const double low = options.iq ? band.centreFrequency - halfWidth : 0.0;
    const double high = options.iq ? band.centreFrequency + halfWidth : halfWidth;
    const auto checkInBand = [&](const std::string& option, const std::string& text, double from, double to) {
        if (from < low || to > high) {
            throw UsageError(option + " " + text + ": the signal (" + std::to_string(std::lround(from)) + ".." +
                             std::to_string(std::lround(to)) + " Hz) lies outside the stream's usable band, " +
                             std::to_string(std::lround(low)) + ".." + std::to_string(std::lround(high)) + " Hz");
        }
    };

    bool levelGiven = options.ebN0Db.has_value();
    std::vector<std::string> beaconTexts = options.beaconTexts;
    if (beaconTexts.empty() && options.iq) beaconTexts.push_back(std::to_string(band.centreFrequency));
    const int firstStation = options.stationId.value_or(491);
    for (std::size_t i = 0; i < beaconTexts.size(); ++i) {
        const std::string& text = beaconTexts[i];
        const auto numbers = parseNumbers("--beacon", text, 4);
        BandBeacon beacon;
        beacon.frequency = numbers[0];
        beacon.bitRate = numbers.size() > 1 ? numbers[1] : options.bitRate;
        if (beacon.bitRate != 25.0 && beacon.bitRate != 50.0 && beacon.bitRate != 100.0 && beacon.bitRate != 200.0) {
            throw UsageError("--beacon " + text + ": the rate must be 25, 50, 100 or 200 bit/s");
        }
        const double station = numbers.size() > 2 ? numbers[2] : static_cast<double>((firstStation + static_cast<int>(i)) % 1024);
        if (station != std::floor(station) || station < 0.0 || station > 1023.0) {
            throw UsageError("--beacon " + text + ": the station ID must be a whole number 0..1023");
        }
        beacon.stationId = static_cast<int>(station);
        if (numbers.size() > 3) {
            if (numbers[3] < -30.0 || numbers[3] > 100.0) throw UsageError("--beacon " + text + ": Eb/N0 must be -30..100 dB");
            levelGiven = true;
        }
        beacon.ebN0Db = numbers.size() > 3 ? numbers[3] : options.ebN0Db.value_or(DefaultBandEbN0);
        if (messageTypes != nullptr) beacon.messageTypes = *messageTypes;
        beacon.frequencyOffset = options.frequencyOffset;
        beacon.clockErrorPpm = options.clockErrorPpm;
        const double centre = beacon.frequency + beacon.frequencyOffset;
        checkInBand("--beacon", text, centre - 0.75 * beacon.bitRate, centre + 0.75 * beacon.bitRate);
        band.beacons.push_back(beacon);
    }
    for (const std::string& text : options.carrierTexts) {
        const auto numbers = parseNumbers("--carrier", text, 2);
        BandCarrier carrier;
        carrier.frequency = numbers[0];
        if (numbers.size() > 1) {
            if (numbers[1] < -30.0 || numbers[1] > 150.0) throw UsageError("--carrier " + text + ": C/N0 must be -30..150 dB-Hz");
            carrier.carrierToNoiseDbHz = numbers[1];
            levelGiven = true;
        }
        checkInBand("--carrier", text, carrier.frequency, carrier.frequency);
        band.carriers.push_back(carrier);
    }
    band.noise = levelGiven;
    try {
        // Each beacon's own start within the first second comes after the leading time.
        const BandSignal drawn(band);
        for (std::size_t i = 0; i < band.beacons.size(); ++i) {
            band.beacons[i].delaySeconds = options.leadingSeconds + *drawn.settings().beacons[i].delaySeconds;
        }
        const BandSignal check(band);
    } catch (const std::invalid_argument& error) {
        throw UsageError(error.what());
    }

    if (options.iq) {
        const bool wav = Options::endsWithWav(options.output);
        const std::string format = options.format.value_or(wav ? "cs16" : "cu8");
        if (wav && (format == "cu8" || format == "cs8"))
            throw UsageError("--format " + format + " is for raw IQ; a WAV file takes cs16, cs32 or cf32");
        if (!wav && format == "cs32") throw UsageError("--format cs32 is for a WAV file; raw IQ takes cu8, cs8, cs16 or cf32");
        options.format = format;
        // A WAV file's sizes are 32-bit numbers.
        const double bytes = options.seconds * band.sampleRate * 2.0 * (format == "cs16" ? 2.0 : 4.0);
        if (wav && bytes > 4294967295.0 - 1024.0) {
            throw UsageError("a WAV file holds at most 4 GiB; write raw IQ or fewer --seconds");
        }
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

// Several beacons and carriers: audio in a stereo WAV file like the single beacon's, or complex
// baseband as raw IQ or a two-channel WAV file.
int runBand(const Options& options) {
    BandSignal band(options.band);
    const auto total = static_cast<std::size_t>(std::llround(options.seconds * options.band.sampleRate));
    constexpr std::size_t Block = 65536;
    std::string error;
    const auto failed = [&options](const std::string& why) {
        std::fprintf(stderr, "sondeco-gen: %s %s\n", options.output.c_str(), why.c_str());
        return 1;
    };

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

int run(const Options& options) {
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
        "sondeco-gen", Usage, commandLine, argc, argv,
        [&] {
            checkOptions(options, typeList, commandLine.app().count("--types") > 0);
            checkBandOptions(options, commandLine.app(), options.messageTypes ? &*options.messageTypes : nullptr);
        },
        [&] { return run(options); });
}
