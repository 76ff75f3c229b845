// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-decode: the desktop program's decoder chain without windows, for recordings, audio piped
// from SDR software, and RTCM streams; writes pages, frame headers, gpsd-style JSON or RTCM.

#include "audio/audio_format.h"
#include "audio/audio_input.h"
#include "output/decoded_output.h"
#include "output/file_descriptor.h"
#include "output/frame_log.h"
#include "output/output_feeds.h"
#include "receiver/receiver.h"
#include "rtcm/message_pages.h"
#include "tools/band_decode.h"
#include "tools/command_line.h"
#include "tools/run_control.h"
#include "tools/run_outcome.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace sondeco;

constexpr const char* ShortUsage =
    "Usage: sondeco-decode [OPTIONS] [FILE]\n"
    "Decodes DGPS beacon audio (a recording, or a pipe with -), an SDR's IQ (--iq) or an RTCM stream\n"
    "(--rtcm). Try 'sondeco-decode --help' for more information.\n";

constexpr const char* Usage =
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
    "                         --format, the IQ stream's rate, 48000..3200000\n"
    "      --iq               the input is IQ from an SDR covering the beacon band: raw samples\n"
    "                         (--format and --sample-rate) or a two-channel sound file, I left and\n"
    "                         Q right, 48000..3200000 samples a second\n"
    "      --center-freq HZ   the IQ stream's centre frequency: the channels are those of the\n"
    "                         beacon band, 283500..325000 Hz, and frequencies come out absolute;\n"
    "                         without it every channel of the stream is searched and frequencies\n"
    "                         are offsets from its centre\n"
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
    "                         for --iq and --scan when standard output is a terminal\n"
    "      --listen [HOST:]PORT[/FORMAT][@ID]\n"
    "                         also serve the frames over TCP to every client that connects, from\n"
    "                         the next whole frame on: FORMAT is rtcm, json, frames or pages\n"
    "                         (default the -o format), HOST 127.0.0.1 unless given (0.0.0.0 for\n"
    "                         every network, [::1] for IPv6), @ID only station ID's frames; may be\n"
    "                         given several times\n"
    "      --max-clients N    clients each --listen port serves at once, 1..900 (default 64); one\n"
    "                         more is let in and closed at once\n"
    "      --serial DEVICE    also write the frames as RTCM bytes to a serial port, raw 8N1\n"
    "      --baud N           the serial port's speed, 1200..921600 (default 9600)\n"
    "      --stations LOG     print the stations a frame log holds (an SQLite file) and exit\n"
    "      --realtime         decode at the input's own pace, as if it came from the air, so that a\n"
    "                         recording feeds gpsd, RTKLIB or a frame log as a live beacon would\n"
    "                         (RTCM input at -r bit/s, 200 unless given)\n"
    "      --loop             start the file again at its end, for ever (implies --realtime)\n"
    "      --stats            at the end, a summary of what was decoded on standard error (with the\n"
    "                         enhanced receiver: the tone and rate found, Eb/N0, repaired words)\n"
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n";

struct Options {
    int decFreqPos = 80;
    bool decBitRate = true;
    bool classic = false;
    std::optional<double> toneHint;  // enhanced: -f
    std::optional<int> rateHint;  // enhanced: -r
    bool raw = false;
    RawAudioFormat rawFormat;  // s16 stereo at 48000 Hz unless --format, --channels or --sample-rate say otherwise
    std::optional<RawSampleFormat> rawSample;
    std::optional<int> rawChannels;
    std::optional<int> rawSampleRate;
    int channel = 1;  // counted from 1, as the user gives it
    bool rtcm = false;
    bool stats = false;
    OutputFormat format = OutputFormat::Pages;
    std::optional<std::string> outputName;  // -o as given
    bool table = false;  // -o table, or its default
    std::optional<std::string> formatName;  // --format as given: raw audio's or IQ's
    bool iq = false;
    bool scan = false;
    std::optional<double> centreFrequency;
    std::optional<IqFormat> iqFormat;
    std::string logPath;
    std::string input = "-";
    std::vector<std::string> listen;  // as given; checkOptions reads them into `feeds`
    std::optional<int> baud;
    std::optional<std::size_t> maxClients;
    FeedSettings feeds;
    std::string stationsLog;  // --stations: only list the stations of this log
    bool realtime = false;
    bool loop = false;
    std::optional<int> stationId;  // --station
    std::optional<double> stationFrequency;  // --station-freq
};

void declareOptions(CLI::App& app, Options& options, std::optional<int>& rate, std::optional<double>& hertz) {
    app.add_option("-r,--rate", rate)->check(oneOf(std::vector<int>{25, 50, 100, 200}));
    app.add_option("-f,--freq", hertz)->check(numberFrom(200.0, 3500.0));
    addFlag(app, "--classic", options.classic);
    app.add_option("-o,--output", options.outputName)->check(oneOf(std::vector<std::string>{"pages", "frames", "json", "rtcm", "table"}));
    app.add_option("--channel", options.channel)->check(wholeNumberFrom(1, 65535));
    addFlag(app, "--raw", options.raw);
    app.add_option("--format", options.formatName)
        ->check(oneOf(std::vector<std::string>{"s16", "s32", "f32", "u8", "cu8", "cs8", "cs16", "cf32"}));
    app.add_option("--channels", options.rawChannels)->check(wholeNumberFrom(1, 65535));
    app.add_option("--sample-rate", options.rawSampleRate)->check(wholeNumberFrom(AudioInput::LowestRate, HighestIqRate));
    addFlag(app, "--iq", options.iq);
    app.add_option("--center-freq", options.centreFrequency)->check(numberFrom(1.0, 1e10));
    addFlag(app, "--scan", options.scan);
    app.add_option("--log", options.logPath);
    addFlag(app, "--rtcm", options.rtcm);
    addFlag(app, "--stats", options.stats);
    app.add_option("--stations", options.stationsLog);
    app.add_option("--listen", options.listen)->allow_extra_args(false);  // one address each time, then FILE
    app.add_option("--max-clients", options.maxClients)->check(wholeNumberFrom(1, NetworkOutput::HighestMaxClients));
    app.add_option("--serial", options.feeds.serialDevice);
    app.add_option("--baud", options.baud)->check(oneOf(SerialOutput::supportedBaudRates()));
    addFlag(app, "--realtime", options.realtime);
    addFlag(app, "--loop", options.loop);
    app.add_option("--station", options.stationId)->check(wholeNumberFrom(0, 1023));
    app.add_option("--station-freq", options.stationFrequency)->check(numberFrom(1.0, 1e10));
    app.add_option("file", options.input);
}

void checkFeedOptions(Options& options) {
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
    for (const std::string& text : options.listen) {
        std::string problem;
        const auto address = parseListenAddress(text, problem);
        if (!address) throw UsageError("--listen: " + problem);
        options.feeds.listen.push_back(*address);
    }
    if (options.baud && options.feeds.serialDevice.empty()) throw UsageError("--baud sets the speed of --serial, which is not given");
    options.feeds.baud = options.baud.value_or(options.feeds.baud);
    if (options.maxClients && options.listen.empty())
        throw UsageError("--max-clients sets how many clients --listen serves, which is not given");
    options.feeds.maxClients = options.maxClients.value_or(options.feeds.maxClients);
}

// The band monitor's options, and the output they choose.
void checkBandOptions(Options& options, std::optional<int> rate, std::optional<double> hertz) {
    const bool band = options.iq || options.scan;
    if (options.iq && options.scan) throw UsageError("--iq and --scan cannot be used together");
    if (band && (options.classic || options.rtcm || rate || hertz))
        throw UsageError(std::string(options.iq ? "--iq" : "--scan") +
                         " finds every beacon itself: it takes no --classic, --rtcm, -r or -f");
    if (options.centreFrequency && !options.iq) throw UsageError("--center-freq gives an IQ stream's centre: give --iq as well");
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

void checkOptions(Options& options, std::optional<int> rate, std::optional<double> hertz) {
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
        const std::map<std::string, RawSampleFormat> samples{
            {"s16", RawSampleFormat::S16}, {"s32", RawSampleFormat::S32}, {"f32", RawSampleFormat::F32}, {"u8", RawSampleFormat::U8}};
        const auto sample = samples.find(*options.formatName);
        if (sample == samples.end()) throw UsageError("--format " + *options.formatName + " is an IQ format: give --iq as well");
        options.rawSample = sample->second;
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

std::string inputName(const Options& options) { return options.input == "-" ? "standard input" : options.input; }

// An RTCM byte stream, handed to `consume` as it arrives: a beacon receiver sends about 33 bytes a
// second, and waiting for a buffer to fill would hold its corrections back for half an hour. Paced,
// the bytes go a few at a time, as a serial line brings them. Returns the problem, if any.
template <typename Consumer>
std::string readRtcmStream(const Options& options, const std::function<bool()>& mustStop, RealTimePacer* pacer, Consumer&& consume) {
    const bool standardInput = options.input == "-";
    FileDescriptor file(standardInput ? -1 : ::open(options.input.c_str(), O_RDONLY | O_CLOEXEC));
    if (!standardInput && !file.valid()) return std::string("cannot be opened: ") + std::strerror(errno);
    const int descriptor = standardInput ? STDIN_FILENO : file.get();
    std::vector<char> chunk(pacer != nullptr ? 8 : 1 << 16);
    std::uint64_t bytesThisPass = 0;
    while (!mustStop()) {
        const ssize_t got = ::read(descriptor, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::string("cannot be read: ") + std::strerror(errno);
        }
        if (got == 0) {
            // --loop: the file again from its start, as long as it has anything in it.
            if (!options.loop || bytesThisPass == 0 || ::lseek(descriptor, 0, SEEK_SET) != 0) break;
            bytesThisPass = 0;
            continue;
        }
        bytesThisPass += static_cast<std::uint64_t>(got);
        consume(std::string_view(chunk.data(), static_cast<std::size_t>(got)));
        if (pacer != nullptr) pacer->advance(static_cast<std::uint64_t>(got));
    }
    return {};
}

// Audio to the receiver, block by block, until its end (again from the start with --loop) or a
// stop. Returns the input's problem, if any; what came before it has been decoded.
std::string decodeAudio(const Options& options, Receiver& receiver, const std::function<bool()>& mustStop) {
    const ChannelChoice channel{options.channel - 1, 1};
    std::unique_ptr<AudioInput> input;
    std::string problem;
    const auto open = [&] {
        input = std::make_unique<AudioInput>();
        return options.raw ? input->openRaw(options.input, options.rawFormat, channel, problem)
                           : input->openFile(options.input, channel, problem);
    };
    if (!open()) return problem;
    std::optional<RealTimePacer> pacer;
    if (options.realtime) pacer.emplace(AudioInput::OutputRate);
    std::vector<double> block(FramesPerBuffer);
    std::size_t framesThisPass = 0;
    while (!mustStop()) {
        const std::size_t frames = input->read(block);
        if (frames == 0) {
            if (!options.loop || framesThisPass == 0 || !input->error().empty()) break;
            if (!open()) return problem;
            framesThisPass = 0;
            continue;
        }
        framesThisPass += frames;
        receiver.pushSamples(std::span(block).first(frames));
        if (pacer) pacer->advance(frames);
    }
    // A file cut short or damaged: what came before the damage is decoded and written, then the
    // problem is the one line on standard error, and the status says it.
    return input->error();
}

void printStatistics(const Receiver& receiver, const Options& options) {
    const DecoderStatistics& s = receiver.decoder().statistics();
    if (options.rtcm) {
        std::fprintf(stderr, "audio seconds: none (RTCM input)\n");
    } else {
        std::fprintf(stderr, "audio seconds: %.1f\n", static_cast<double>(receiver.audioFrames()) / SampleRate);
    }
    std::fprintf(stderr, "bits: %llu\nwords: %llu\nparity failures: %llu\nframes without preamble: %llu\nsync losses: %llu\n",
                 static_cast<unsigned long long>(s.bits), static_cast<unsigned long long>(s.words),
                 static_cast<unsigned long long>(s.parityFailures), static_cast<unsigned long long>(s.missingPreambles),
                 static_cast<unsigned long long>(s.syncLosses));
    std::fprintf(stderr, "frames: %llu\n", static_cast<unsigned long long>(s.frames));
    for (std::size_t type = 0; type < s.framesByType.size(); ++type)
        if (s.framesByType[type] > 0)
            std::fprintf(stderr, "  type %zu: %llu\n", type, static_cast<unsigned long long>(s.framesByType[type]));
    if (s.framesNotDecoded > 0)
        std::fprintf(stderr, "frames from a station marked not working (not decoded): %llu\n",
                     static_cast<unsigned long long>(s.framesNotDecoded));
    if (const EnhancedReceiver* enhanced = receiver.enhanced()) {
        const auto tone = enhanced->toneHz();
        const auto rate = enhanced->bitRate();
        if (tone && rate) {
            std::fprintf(stderr, "beacon: tone %.1f Hz, %.0f bit/s\n", *tone, *rate);
        } else {
            std::fprintf(stderr, "beacon: none held at the end\n");
        }
        if (const auto ebN0 = enhanced->ebN0Db()) std::fprintf(stderr, "Eb/N0 estimate: %.1f dB\n", *ebN0);
        std::fprintf(stderr, "repaired words: %llu\nlost words (the lock held): %llu\nframes lost to them: %llu\n",
                     static_cast<unsigned long long>(s.repairedWords), static_cast<unsigned long long>(s.lostWords),
                     static_cast<unsigned long long>(s.framesLost));
        std::fprintf(stderr, "acquisitions: %llu\n", static_cast<unsigned long long>(enhanced->statistics().acquisitions));
    }
}

int runBand(const Options& options) {
    BandDecodeSettings settings;
    settings.input = options.iq ? BandInput::Iq : BandInput::Audio;
    settings.path = options.input;
    settings.iqFormat = options.iqFormat;
    settings.iqSampleRate = options.rawSampleRate.value_or(0);
    settings.centreFrequencyHz = options.centreFrequency;
    settings.rawAudio = options.raw;
    settings.rawAudioFormat = options.rawFormat;
    settings.audioChannel = options.channel - 1;
    if (!options.table) settings.format = options.format;
    settings.logPath = options.logPath;
    settings.feeds = options.feeds;
    settings.statistics = options.stats;
    settings.realtime = options.realtime;
    settings.loop = options.loop;
    return runBandDecode(settings);
}

int run(const Options& options) {
    if (!options.stationsLog.empty()) {
        std::string problem;
        if (printStationsFromLog(options.stationsLog, stdout, problem)) return 0;
        std::fprintf(stderr, "sondeco-decode: %s\n", problem.c_str());
        return 1;
    }
    stopOnSignals(options.input == "-");
    if (options.iq || options.scan) return runBand(options);
    DecodedStreamWriter output(options.format, stdout, options.input == "-" ? "stdin" : options.input);
    // --listen and --serial come on top of standard output. They open first: a port in use or a
    // missing serial device stops us before anything is decoded.
    OutputFeeds feeds;
    std::string problem;
    if (!feeds.open(options.feeds, options.format, options.input == "-" ? "stdin" : options.input, problem)) {
        std::fprintf(stderr, "sondeco-decode: %s\n", problem.c_str());
        return 1;
    }
    ReceiverSettings settings;
    settings.decFreqPos = options.decFreqPos;
    settings.decBitRate = options.decBitRate;
    settings.kind = options.classic || options.rtcm ? ReceiverKind::Classic : ReceiverKind::Enhanced;
    settings.toneHint = options.toneHint;
    settings.bitRateHint = options.rateHint;
    Receiver receiver(settings);
    // Pages are built only when standard output or a --listen client is to get them.
    MessagePages pages;
    if (options.format == OutputFormat::Pages || !feeds.pageListeners().empty()) receiver.addListener(pages);
    if (options.format == OutputFormat::Pages) pages.addListener(output);
    for (DecoderListener* feed : feeds.pageListeners()) pages.addListener(*feed);
    receiver.addListener(output);
    for (DecoderListener* feed : feeds.decoderListeners()) receiver.addListener(*feed);

    const std::function<bool()> mustStop = [&] { return runMustStop(&output, feeds); };
    if (options.rtcm) {
        // Paced at the beacon's bit rate, six bits to a byte.
        std::optional<RealTimePacer> pacer;
        if (options.realtime) pacer.emplace(options.rateHint.value_or(200) / 6.0);
        problem =
            readRtcmStream(options, mustStop, pacer ? &*pacer : nullptr, [&](std::string_view bytes) { receiver.pushRtcmBytes(bytes); });
    } else {
        problem = decodeAudio(options, receiver, mustStop);
    }
    receiver.finishAudio();
    // Clients across a network get a few seconds to take the last frames; on this machine they
    // take them in milliseconds.
    feeds.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    if (options.stats) {
        printStatistics(receiver, options);
        std::fputs(feeds.statisticsText().c_str(), stderr);
    }
    RunOutcome outcome;
    outcome.inputName = inputName(options);
    outcome.inputProblem = problem;
    outcome.output = &output;
    outcome.feeds = &feeds;
    return reportOutcome(outcome);
}

}  // namespace

int main(int argc, char** argv) {
    // Started with nothing to do at a terminal, it would sit waiting for audio typed at the keyboard.
    if (argc == 1 && isatty(STDIN_FILENO) == 1) {
        std::fputs(ShortUsage, stderr);
        return 2;
    }
    // A reader that goes away (`| head`) ends the output quietly instead of killing us mid-write.
    std::signal(SIGPIPE, SIG_IGN);
    Options options;
    std::optional<int> rate;
    std::optional<double> hertz;
    CommandLine commandLine("sondeco-decode");
    declareOptions(commandLine.app(), options, rate, hertz);
    return runTool(
        "sondeco-decode", Usage, commandLine, argc, argv, [&] { checkOptions(options, rate, hertz); }, [&] { return run(options); });
}
