// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/decode_options.h"

#include "audio/audio_input.h"
#include "band/band_monitor.h"
#include "output/feed_options.h"
#include "tools/band_decode.h"

#include <cmath>

namespace sondeco {

const char* const DecodeShortUsage =
    "Usage: sondeco-decode [OPTIONS] [FILE]\n"
    "Decodes DGPS beacon audio (a recording, or a pipe with -), an SDR's IQ (--iq) or an RTCM stream\n"
    "(--rtcm). Try 'sondeco-decode --help' for more information.\n";

const char* const DecodeUsageStart =
    "Usage: sondeco-decode [OPTIONS] [FILE]\n"
    "Decodes a DGPS beacon: RTCM SC-104 version 2 messages from the receiver's audio, or from an\n"
    "RTCM serial stream. FILE is a sound file in any format libsndfile reads (WAV of every kind,\n"
    "FLAC, Ogg/Vorbis, AIFF, ...) sampled at 8000 to 384000 Hz; without FILE, or with -, standard\n"
    "input is read (WAV, AIFF, AU, FLAC and Ogg come through a pipe; other formats need a name).\n"
    "\n"
    "Audio is decoded by the enhanced receiver, which finds the beacon's tone (200..3500 Hz) and bit\n"
    "rate (25, 50, 100 or 200 bit/s) itself and detects it coherently; --classic runs the desktop\n"
    "program's own demodulator instead, tuned by -r and -f.\n"
    "\n"
    "With --iq or --scan, every beacon of the input is decoded at once: the band monitor cuts it into\n"
    "channels on the beacons' 500 Hz raster and decodes each channel where it hears a beacon.\n"
    "\n"
    "  -r, --rate R           bit rate of the beacon in bit/s: a hint, 25, 50, 100 or 200; with\n"
    "                         --classic the rate to decode, 100 or 200 (default 200)\n"
    "  -f, --freq HZ          tone of the beacon in the audio: a hint, 200..3500; with --classic the\n"
    "                         centre frequency, 500..1000 in steps of 10 (default 800)\n"
    "      --classic          decode with the classic frequency discriminator, as the window does\n"
    "      --channel N        the channel to decode, counted from 1 (default 1, the first)\n"
    "      --raw              the input is headerless audio: 16-bit little-endian stereo at 48000 Hz\n"
    "                         unless the next three options say otherwise\n"
    "      --format FORMAT    raw samples: s16, s32, f32 or u8, little-endian (implies --raw);\n"
    "                         with --iq: cu8 (rtl_sdr), cs8, cs16 or cf32, interleaved I and Q\n"
    "      --channels N       raw audio's number of channels (implies --raw)\n"
    "      --sample-rate HZ   raw audio's sample rate, 8000..384000 (implies --raw); with --iq and\n"
    "                         --format, the IQ stream's rate, 8000..10000000\n"
    "      --iq               the input is IQ from an SDR covering the beacon band: raw samples\n"
    "                         (--format and --sample-rate) or a two-channel sound file, I left and\n"
    "                         Q right, 8000..10000000 samples a second\n"
    "      --center-freq HZ   the IQ stream's centre frequency (304000, 304k or 0.304M): the\n"
    "                         channels are those of the beacon band, 283500..325000 Hz, and\n"
    "                         frequencies come out absolute; without it, the file's own (an auxi\n"
    "                         chunk, or a frequency in its name) if it has one, else every channel\n"
    "                         of the stream is searched and frequencies are offsets from its centre\n"
    "      --ppm PPM          with --iq, the SDR's clock error in parts per million (positive: fast),\n"
    "                         -1000..1000: the frequencies reported are corrected for it\n"
    "      --start-time UTC   with --iq or --scan, when the recording began (2024-01-15T20:30:00Z):\n"
    "                         frames carry the time they were received in the recording; without\n"
    "                         it, the file's own start (an auxi chunk, or a time in its name) if it\n"
    "                         has one, else the time the run began\n"
    "      --scan             the input is audio holding several beacons (200..3500 Hz): each\n"
    "                         tone found is decoded\n"
    "      --station ID       with --iq or --scan, the reference station (0..1023) whose corrections\n"
    "                         the RTCM outputs (-o rtcm, --listen .../rtcm, --serial) carry; without\n"
    "                         it they carry the only station heard, and a second one ends the run\n"
    "      --station-freq HZ  the same, choosing the station by the frequency it is heard on (as\n"
    "                         -o table shows it)\n"
    "      --log FILE.db      with --iq or --scan, also write every frame into an SQLite log,\n"
    "                         appending to one that exists (frame-log.md in /usr/share/doc/sondeco)\n"
    "      --rtcm             the input is an RTCM SC-104 6-of-8 byte stream, not audio\n"
    "  -o, --output FORMAT    pages (default): each page as it is updated\n"
    "                         frames: one line per frame decoded whole, its header as the\n"
    "                         status bar shows it\n"
    "                         json: one gpsd-style RTCM2 JSON object per frame\n"
    "                         rtcm: the frames as an RTCM 6-of-8 byte stream\n"
    "                         table: with --iq or --scan, a live table of the stations heard\n"
    "                         (redrawn on a terminal, a line per frame into a pipe); the default\n"
    "                         for --iq and --scan when standard output is a terminal\n";

namespace {

const char* const DecodeUsageEnd =
    "      --stations LOG     print the stations a frame log holds (an SQLite file) and exit\n"
    "      --realtime         decode at the input's own pace, as if it came from the air, so that a\n"
    "                         recording feeds gpsd, RTKLIB or a frame log as a live beacon would\n"
    "                         (RTCM input at -r bit/s, 200 unless given)\n"
    "      --loop             start the file again at its end, for ever (implies --realtime)\n"
    "      --stats            at the end, a summary of what was decoded on standard error (with the\n"
    "                         enhanced receiver: the tone and rate found, Eb/N0, repaired words)\n"
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n";

}  // namespace

const std::string& decodeUsage() {
    static const std::string usage = [] {
        std::string text = DecodeUsageStart;
        for (const FeedOptionText& option : FeedOptions) text += usageEntry(option);
        return text + DecodeUsageEnd;
    }();
    return usage;
}

namespace {

// Raw audio's sample formats, then IQ's: what --format takes.
std::vector<std::string> allSampleFormatNames() {
    std::vector<std::string> names = rawSampleFormatNames();
    names.insert(names.end(), iqFormatNames().begin(), iqFormatNames().end());
    return names;
}

void checkFeedOptions(DecodeOptions& options) {
    const bool band = options.iq || options.scan;
    if ((options.stationId || options.stationFrequency) && !band)
        throw UsageError("--station and --station-freq choose among the beacons of --iq or --scan");
    if (options.stationId && options.stationFrequency) throw UsageError("--station and --station-freq both choose the station: give one");
    if (options.stationFrequency && options.centreFrequency &&
        (*options.stationFrequency < BeaconBandLowHz || *options.stationFrequency > BeaconBandHighHz))
        throw UsageError("--station-freq: the beacon band is 283500 to 325000 Hz");
    options.feeds.oneStationPerRtcmFeed = band;
    options.feeds.rtcmStation.stationId = options.stationId;
    options.feeds.rtcmStation.frequencyHz = options.stationFrequency;
    options.realtime = options.realtime || options.loop;
    if (options.loop && options.input == "-") throw UsageError("--loop starts a file again at its end: standard input cannot be");
    if (options.realtime && !options.stationsLog.empty()) throw UsageError("--realtime paces an input; --stations reads none");
    if (const auto problem = readFeedOptions(options.feedValues, options.feeds)) throw UsageError(*problem);
}

// The band monitor's options, and the output they choose.
void checkBandOptions(DecodeOptions& options, std::optional<int> rate, std::optional<double> hertz) {
    const bool band = options.iq || options.scan;
    if (options.iq && options.scan) throw UsageError("--iq and --scan cannot be used together");
    if (band && (options.classic || options.rtcm || rate || hertz))
        throw UsageError(std::string(options.iq ? "--iq" : "--scan") +
                         " finds every beacon itself: it takes no --classic, --rtcm, -r or -f");
    if (options.centreFrequency && !options.iq) throw UsageError("--center-freq gives an IQ stream's centre: give --iq as well");
    if (options.clockErrorPpm != 0.0 && !options.iq) throw UsageError("--ppm corrects an SDR's frequencies: give --iq as well");
    if (options.startTime && !band) throw UsageError("--start-time dates the recording of --iq or --scan: give one of them");
    if (!options.logPath.empty() && !band) throw UsageError("--log records what --iq or --scan decode: give one of them");
    if (options.outputName == "table" && !band) throw UsageError("-o table shows the stations of --iq or --scan: give one of them");
    if (options.outputName) {
        options.table = *options.outputName == "table";
        if (!options.table) options.format = *outputFormatNamed(*options.outputName);
    } else {
        // Many stations at once are best followed in the table; into a pipe, pages as always.
        options.table = band && isatty(STDOUT_FILENO) == 1;
    }
    if (!options.iq) return;
    if (options.raw || options.rawChannels || options.channel != 1)
        throw UsageError("--raw, --channels and --channel describe audio; IQ is given by --format and --sample-rate");
    if (options.formatName) {
        options.iqFormat = iqFormatNamed(*options.formatName);
        if (!options.iqFormat) throw UsageError("--format " + *options.formatName + " is an audio format; IQ is cu8, cs8, cs16 or cf32");
        if (!options.rawSampleRate) throw UsageError("raw IQ (--format " + *options.formatName + ") needs its --sample-rate");
        if (*options.rawSampleRate < LowestIqRate)
            throw UsageError("--sample-rate: IQ is taken at " + std::to_string(LowestIqRate) + " to " + std::to_string(HighestIqRate) +
                             " Hz");
    } else if (options.rawSampleRate) {
        throw UsageError("--sample-rate goes with raw IQ (--format); a sound file says its own rate");
    }
}

}  // namespace

void declareDecodeOptions(CLI::App& app, DecodeOptions& options) {
    app.add_option("-r,--rate", options.rate)->check(oneOf(std::vector<int>{25, 50, 100, 200}));
    app.add_option("-f,--freq", options.hertz)->check(numberFrom(200.0, 3500.0));
    addFlag(app, "--classic", options.classic);
    app.add_option("-o,--output", options.outputName)->check(oneOf(std::vector<std::string>{"pages", "frames", "json", "rtcm", "table"}));
    app.add_option("--channel", options.channel)->check(wholeNumberFrom(1, 65535));
    addFlag(app, "--raw", options.raw);
    app.add_option("--format", options.formatName)->check(oneOf(allSampleFormatNames()));
    app.add_option("--channels", options.rawChannels)->check(wholeNumberFrom(1, 65535));
    app.add_option("--sample-rate", options.rawSampleRate)->check(wholeNumberFrom(AudioInput::LowestRate, HighestIqRate));
    addFlag(app, "--iq", options.iq);
    app.add_option("--center-freq", options.centreFrequency)->transform(frequencyFrom(1.0, 1e10));
    app.add_option("--ppm", options.clockErrorPpm)->check(numberFrom(-1000.0, 1000.0));
    app.add_option("--start-time", options.startTime)->transform(utcTime());
    addFlag(app, "--scan", options.scan);
    app.add_option("--log", options.logPath);
    addFlag(app, "--rtcm", options.rtcm);
    addFlag(app, "--stats", options.stats);
    app.add_option("--stations", options.stationsLog);
    // One address each time, then FILE; the values are checked together, in the words every program uses.
    app.add_option("--" + std::string(ListenOption.name), options.feedValues.listen)->allow_extra_args(false);
    app.add_option("--" + std::string(MaxClientsOption.name), options.feedValues.maxClients);
    app.add_option("--" + std::string(SerialOption.name), options.feedValues.serial);
    app.add_option("--" + std::string(BaudOption.name), options.feedValues.baud);
    addFlag(app, "--realtime", options.realtime);
    addFlag(app, "--loop", options.loop);
    app.add_option("--station", options.stationId)->check(wholeNumberFrom(0, 1023));
    app.add_option("--station-freq", options.stationFrequency)->check(numberFrom(1.0, 1e10));
    app.add_option("file", options.input);
}

void checkDecodeOptions(DecodeOptions& options) {
    const std::optional<int> rate = options.rate;
    const std::optional<double> hertz = options.hertz;
    if (options.classic) {
        // The window's demodulator knows two rates and a 10 Hz grid from 500 to 1000 Hz.
        if (rate && *rate != 100 && *rate != 200) throw UsageError("--classic decodes 100 or 200 bit/s, not " + std::to_string(*rate));
        const double centre = hertz.value_or(800.0);
        if (centre < 500.0 || centre > 1000.0 || std::fmod(centre, 10.0) != 0.0)
            throw UsageError("with --classic, -f must be 500..1000 in steps of 10 Hz");
        options.decFreqPos = static_cast<int>(centre / 10.0);
        options.decBitRate = rate.value_or(200) == 200;
    } else {
        options.toneHint = hertz;
        options.rateHint = rate;
    }
    checkBandOptions(options, rate, hertz);
    if (options.formatName && !options.iq) {
        options.rawSample = rawSampleFormatNamed(*options.formatName);
        if (!options.rawSample) throw UsageError("--format " + *options.formatName + " is an IQ format: give --iq as well");
    }
    if (options.rawSampleRate && !options.iq && *options.rawSampleRate > AudioInput::HighestRate)
        throw UsageError("--sample-rate: audio is taken at " + std::to_string(AudioInput::LowestRate) + " to " +
                         std::to_string(AudioInput::HighestRate) + " Hz");
    checkFeedOptions(options);
    if (options.iq) return;
    const bool describesRaw = options.rawSample || options.rawChannels || options.rawSampleRate;
    if (options.rtcm && (options.raw || describesRaw))
        throw UsageError(options.raw ? "--raw and --rtcm cannot be used together"
                                     : "--format, --channels and --sample-rate describe raw audio, not --rtcm");
    if (options.rtcm && options.channel != 1) throw UsageError("--channel picks a channel of audio, not of --rtcm");
    options.raw = options.raw || describesRaw;
    options.rawFormat.sample = options.rawSample.value_or(options.rawFormat.sample);
    options.rawFormat.channels = options.rawChannels.value_or(options.rawFormat.channels);
    options.rawFormat.sampleRate = options.rawSampleRate.value_or(options.rawFormat.sampleRate);
    if (options.raw && options.channel > options.rawFormat.channels)
        throw UsageError("--channel " + std::to_string(options.channel) + " is beyond the " + std::to_string(options.rawFormat.channels) +
                         " channels of the raw audio");
}

}  // namespace sondeco
