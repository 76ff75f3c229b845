// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/gen_options.h"

#include "audio/audio_format.h"
#include "audio/raw_stream.h"
#include "signalgen/simulated_beacon.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <sstream>

namespace sondeco {

const char* const GenUsage =
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
    "                     type 9 most often); with --random-contents any of 0..63\n"
    "  --random-contents  fill the frames with data words drawn at random from --seed, in\n"
    "                     lengths their types can have (every field over its whole range;\n"
    "                     one word in 16 begins with the preamble or its inverse), instead\n"
    "                     of a plausible station's contents\n"
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
    "  --fading rayleigh,DOPPLER_HZ\n"
    "                     skywave fading: a Rayleigh channel with this Doppler spread (0.01..10\n"
    "                     Hz, Jakes spectrum); Eb/N0 is the mean over the fades\n"
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
    "  --carrier FREQ[,CN0[,morse [TEXT]|tone [TEXT]]]\n"
    "                     an unmodulated carrier (a non-directional beacon, a birdie) at FREQ\n"
    "                     Hz, CN0 dB-Hz above the noise density (default 45); repeatable.\n"
    "                     morse keys it with TEXT (default DGPS) at 10 wpm; tone keeps it on\n"
    "                     and keys a 1020 Hz tone on it (lines 1020 Hz either side).\n"
    "                     A beacon's C/N0 is its Eb/N0 plus 10 log10(rate): 12 dB at\n"
    "                     100 bit/s is 32 dB-Hz.\n"
    "  --iq               write complex baseband instead of audio\n"
    "  --center-freq HZ   the frequency at the stream's 0 Hz with --iq (default 304000)\n"
    "  --sample-rate HZ   complex samples a second with --iq, 8000..10000000 (default 250000)\n"
    "  --format F         sample format with --iq: raw cu8 (default; rtl_sdr's), cs8, cs16 or\n"
    "                     cf32, little-endian; a .wav file cs16 (default), cs32, cf32 or kiwi\n"
    "                     (kiwirecorder's --kiwi-wav form: 16-bit blocks of 512 samples, each\n"
    "                     stamped with its GPS time, from the time in the file's name or now)\n"
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

namespace {

constexpr double DefaultCentreFrequency = 304000.0;
constexpr int DefaultIqRate = 250000;
constexpr double DefaultBandEbN0 = 20.0;
constexpr double UsableBandFraction = 0.45;  // of the sample rate either side of the centre

std::vector<int> parseTypes(const std::string& text, bool anyType) {
    std::vector<int> types;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        int type = -1;
        if (!CLI::detail::lexical_cast(item, type) || (anyType ? type < 0 || type > 63 : !isSimulatedMessageType(type))) {
            throw UsageError("--types: message type '" + item + "' is not one this generator can fill");
        }
        types.push_back(type);
    }
    if (types.empty() || text.back() == ',') throw UsageError("--types needs a comma-separated list of types");
    return types;
}

// What the declarations cannot check: options that exclude each other or together leave no signal.
void checkSignalOptions(GenOptions& options, bool typesGiven) {
    if (typesGiven) options.messageTypes = parseTypes(options.typeList, options.randomContents);
    if (options.leadingSeconds > options.seconds) throw UsageError("--leading is longer than --seconds");
    if (!options.staticBursts.empty() && (options.staticBursts[0] < 0.0 || options.staticBursts[0] > 1000.0 ||
                                          options.staticBursts[1] < -20.0 || options.staticBursts[1] > 80.0))
        throw UsageError("--static takes bursts a second (0..1000) and their peak above the signal (-20..80 dB)");
    if (options.fadingText) {
        const std::string& text = *options.fadingText;
        const std::size_t comma = text.find(',');
        const std::string kind = text.substr(0, comma);
        if (kind == "rayleigh") {
            double doppler = 0.0;
            if (comma == std::string::npos || !CLI::detail::lexical_cast(text.substr(comma + 1), doppler) || !(doppler >= 0.01) ||
                !(doppler <= 10.0))
                throw UsageError("--fading rayleigh takes a Doppler spread of 0.01..10 Hz: " + text);
            options.rayleighDopplerHz = doppler;
        } else {
            double depth = 0.0, period = 0.0;
            if (comma == std::string::npos || !CLI::detail::lexical_cast(kind, depth) ||
                !CLI::detail::lexical_cast(text.substr(comma + 1), period) || depth < 0.0 || depth > 60.0 || !(period > 0.0))
                throw UsageError("--fading takes a depth of 0..60 dB and a period above 0 s, or rayleigh and a Doppler spread: " + text);
            options.fading = {depth, period};
        }
    }
    if (options.rtcmFile && (options.stationId || options.messageTypes || options.zCount || options.randomContents)) {
        throw UsageError("--station, --types, --zcount and --random-contents describe generated frames; --rtcm sends a stream as it is");
    }
    if (options.isBand()) return;  // the band's own checks follow
    const double lowTone = options.centreFrequency + options.frequencyOffset - options.bitRate / 4.0;
    const double highTone = options.centreFrequency + options.frequencyOffset + options.bitRate / 4.0;
    if (lowTone <= 0.0 || highTone >= SampleRate / 2.0) {
        throw UsageError("--offset moves the tones outside 0.." + std::to_string(SampleRate / 2) + " Hz");
    }
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

// The part of the stream's band a signal may use: an SDR's filters roll off towards its edges.
struct UsableBand {
    double low = 0.0, high = 0.0;
    void check(const std::string& option, const std::string& text, double from, double to) const {
        if (from < low || to > high) {
            throw UsageError(option + " " + text + ": the signal (" + std::to_string(std::lround(from)) + ".." +
                             std::to_string(std::lround(to)) + " Hz) lies outside the stream's usable band, " +
                             std::to_string(std::lround(low)) + ".." + std::to_string(std::lround(high)) + " Hz");
        }
    }
};

// One --beacon FREQ[,RATE[,STATION[,EBN0]]], the i-th; whether it gave its own level.
BandBeacon parseBeacon(const GenOptions& options, const std::string& text, std::size_t i, bool& levelGiven) {
    const auto numbers = parseNumbers("--beacon", text, 4);
    BandBeacon beacon;
    beacon.frequency = numbers[0];
    beacon.bitRate = numbers.size() > 1 ? numbers[1] : options.bitRate;
    if (beacon.bitRate != 25.0 && beacon.bitRate != 50.0 && beacon.bitRate != 100.0 && beacon.bitRate != 200.0) {
        throw UsageError("--beacon " + text + ": the rate must be 25, 50, 100 or 200 bit/s");
    }
    const int firstStation = options.stationId.value_or(491);
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
    beacon.frequencyOffset = options.frequencyOffset;
    beacon.clockErrorPpm = options.clockErrorPpm;
    return beacon;
}

// One --carrier FREQ[,CN0[,KEYING]]; whether it gave its own level.
BandCarrier parseCarrier(const std::string& text, bool& levelGiven) {
    const std::size_t first = text.find(','), second = first == std::string::npos ? first : text.find(',', first + 1);
    const auto numbers = parseNumbers("--carrier", text.substr(0, second), 2);
    BandCarrier carrier;
    if (second != std::string::npos) {
        const std::optional<InterferingCarrier> keyed = parseCarrierKeying(text.substr(second + 1));
        if (!keyed) throw UsageError("--carrier " + text + ": the keying must be steady, morse [TEXT] or tone [TEXT]");
        try {
            MorseKeyer check(keyed->identifier, keyed->wordsPerMinute, SampleRate);
        } catch (const std::invalid_argument& error) {
            throw UsageError("--carrier " + text + ": " + error.what());
        }
        carrier.keying = keyed->keying;
        carrier.identifier = keyed->identifier;
    }
    carrier.frequency = numbers[0];
    if (numbers.size() > 1) {
        if (numbers[1] < -30.0 || numbers[1] > 150.0) throw UsageError("--carrier " + text + ": C/N0 must be -30..150 dB-Hz");
        carrier.carrierToNoiseDbHz = numbers[1];
        levelGiven = true;
    }
    return carrier;
}

// The IQ sample format, by the kind of file, and whether a WAV file can hold the stream.
void checkIqFormat(GenOptions& options, double sampleRate) {
    const bool wav = GenOptions::endsWithWav(options.output);
    const std::string format = options.format.value_or(wav ? "cs16" : "cu8");
    if (wav && (format == "cu8" || format == "cs8"))
        throw UsageError("--format " + format + " is for raw IQ; a WAV file takes cs16, cs32, cf32 or kiwi");
    if (!wav && (format == "cs32" || format == "kiwi"))
        throw UsageError("--format " + format + " is for a WAV file; raw IQ takes cu8, cs8, cs16 or cf32");
    options.format = format;
    // A WAV file's sizes are 32-bit numbers.
    const double bytes = options.seconds * sampleRate * 2.0 * (format == "cs16" || format == "kiwi" ? 2.0 : 4.0);
    if (wav && bytes > 4294967295.0 - 1024.0) {
        throw UsageError("a WAV file holds at most 4 GiB; write raw IQ or fewer --seconds");
    }
}

// The options that make no sense for the band (or outside IQ), named.
void checkBandExclusions(const GenOptions& options, const CLI::App& app) {
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
}

// The band's settings from the options, every value checked: signals inside the stream's usable
// band, rates and stations a beacon can have.
void checkBandOptions(GenOptions& options, const CLI::App& app, const std::vector<int>* messageTypes) {
    checkBandExclusions(options, app);
    if (!options.isBand()) return;
    BandSettings& band = options.band;
    band.output = options.iq ? BandOutput::Complex : BandOutput::Real;
    band.sampleRate = options.iq ? options.sampleRate.value_or(DefaultIqRate) : SampleRate;
    band.centreFrequency = options.iq ? options.bandCentre.value_or(DefaultCentreFrequency) : 0.0;
    band.seed = options.seed;
    band.startSecondsIntoHour = options.zCount ? *options.zCount * 0.6 : gpsSecondsIntoHour();
    const double halfWidth = UsableBandFraction * band.sampleRate;
    const UsableBand usable{options.iq ? band.centreFrequency - halfWidth : 0.0, options.iq ? band.centreFrequency + halfWidth : halfWidth};

    bool levelGiven = options.ebN0Db.has_value();
    std::vector<std::string> beaconTexts = options.beaconTexts;
    if (beaconTexts.empty() && options.iq) beaconTexts.push_back(std::to_string(band.centreFrequency));
    for (std::size_t i = 0; i < beaconTexts.size(); ++i) {
        BandBeacon beacon = parseBeacon(options, beaconTexts[i], i, levelGiven);
        if (messageTypes != nullptr) beacon.messageTypes = *messageTypes;
        if (options.randomContents) beacon.randomContentSeed = options.seed + i;
        const double centre = beacon.frequency + beacon.frequencyOffset;
        usable.check("--beacon", beaconTexts[i], centre - 0.75 * beacon.bitRate, centre + 0.75 * beacon.bitRate);
        band.beacons.push_back(beacon);
    }
    for (const std::string& text : options.carrierTexts) {
        const BandCarrier carrier = parseCarrier(text, levelGiven);
        usable.check("--carrier", text, carrier.frequency, carrier.frequency);
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
    if (options.iq) checkIqFormat(options, band.sampleRate);
}

}  // namespace

// GPS time runs ahead of UTC by the leap seconds since 1980; 18 since the start of 2017.
double gpsSecondsIntoHour() {
    constexpr double GpsMinusUtc = 18.0;
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const double seconds = std::chrono::duration<double>(sinceEpoch).count() + GpsMinusUtc;
    return std::fmod(seconds, 3600.0);
}

void declareGenOptions(CLI::App& app, GenOptions& options) {
    app.add_option("--rate", options.bitRate)->check(oneOf(std::vector<int>{25, 50, 100, 200}));
    app.add_option("--drift", options.driftHzPerSecond)->check(numberFrom(-100.0, 100.0));
    app.add_option("--static", options.staticBursts)->delimiter(',')->expected(2);
    app.add_option("--fading", options.fadingText);
    app.add_option("--freq", options.centreFrequency)->check(numberFrom(100.0, 20000.0));
    app.add_option("--seconds", options.seconds)->check(numberFrom(1e-6, 86400.0));
    app.add_option("--station", options.stationId)->check(wholeNumberFrom(0, 1023));
    app.add_option("--types", options.typeList);
    app.add_option("--zcount", options.zCount)->check(wholeNumberFrom(0, 5999));
    app.add_option("--ebn0", options.ebN0Db)->check(numberFrom(-30.0, 100.0));
    app.add_option("--offset", options.frequencyOffset);
    app.add_option("--clock-ppm", options.clockErrorPpm)->check(numberFrom(-100000.0, 100000.0));
    app.add_option("--leading", options.leadingSeconds)->check(numberFrom(0.0, 86400.0));
    // Unsigned options take "-1" as the largest value: read the seed signed and refuse negatives.
    app.add_option_function<long long>("--seed", [&options](long long seed) { options.seed = static_cast<std::uint64_t>(seed); })
        ->check(wholeNumberFrom(0LL, std::numeric_limits<long long>::max()));
    addFlag(app, "--random-contents", options.randomContents);
    app.add_option("--rtcm", options.rtcmFile);
    addFlag(app, "--iq", options.iq);
    app.add_option("--center-freq", options.bandCentre)->transform(frequencyFrom(0.0, 1e10));
    app.add_option("--sample-rate", options.sampleRate)->check(wholeNumberFrom(8000, 10000000));
    app.add_option("--format", options.format)->check(oneOf(std::vector<std::string>{"cu8", "cs8", "cs16", "cs32", "cf32", "kiwi"}));
    app.add_option("--beacon", options.beaconTexts)->expected(1)->take_all();
    app.add_option("--carrier", options.carrierTexts)->expected(1)->take_all();
    app.add_option("output", options.output)->required();
}

void checkGenOptions(GenOptions& options, const CLI::App& app) {
    checkSignalOptions(options, app.count("--types") > 0);
    checkBandOptions(options, app, options.messageTypes ? &*options.messageTypes : nullptr);
}

}  // namespace sondeco
