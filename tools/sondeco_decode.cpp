// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-decode: the desktop program's decoder chain without windows, for recordings, audio piped
// from SDR software, and RTCM streams; writes pages, frame headers, gpsd-style JSON or RTCM.

#include "audio/audio_format.h"
#include "audio/audio_input.h"
#include "output/decoded_output.h"
#include "output/file_descriptor.h"
#include "output/frame_log.h"
#include "output/output_feeds.h"
#include "present/message_pages.h"
#include "receiver/receiver.h"
#include "tools/band_decode.h"
#include "tools/command_line.h"
#include "tools/decode_options.h"
#include "tools/run_control.h"
#include "tools/run_outcome.h"

#include <fcntl.h>
#include <sys/stat.h>
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

std::string inputName(const DecodeOptions& options) { return options.input == "-" ? "standard input" : options.input; }

// An RTCM byte stream, handed to `consume` as it arrives: a beacon receiver sends about 33 bytes a
// second, and waiting for a buffer to fill would hold its corrections back for half an hour. Paced,
// the bytes go a few at a time, as a serial line brings them. Returns the problem, if any.
template <typename Consumer>
std::string readRtcmStream(const DecodeOptions& options, const std::function<bool()>& mustStop, RealTimePacer* pacer, Consumer&& consume) {
    const bool standardInput = options.input == "-";
    FileDescriptor file(standardInput ? -1 : ::open(options.input.c_str(), O_RDONLY | O_CLOEXEC));
    if (!standardInput && !file.valid()) return std::string("cannot be opened: ") + std::strerror(errno);
    const int descriptor = standardInput ? STDIN_FILENO : file.get();
    // A file with nothing in it is reported, as an empty recording is.
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0) return "is empty";
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
std::string decodeAudio(const DecodeOptions& options, Receiver& receiver, const std::function<bool()>& mustStop) {
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

void printStatistics(const Receiver& receiver, const DecodeOptions& options) {
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
        std::fprintf(stderr, "frames held back and not confirmed: %llu\n", static_cast<unsigned long long>(s.framesUnconfirmed));
        std::fprintf(stderr, "acquisitions: %llu\n", static_cast<unsigned long long>(enhanced->statistics().acquisitions));
    }
}

int runBand(const DecodeOptions& options) {
    BandDecodeSettings settings;
    settings.input = options.iq ? BandInput::Iq : BandInput::Audio;
    settings.path = options.input;
    settings.iqFormat = options.iqFormat;
    settings.iqSampleRate = options.rawSampleRate.value_or(0);
    settings.centreFrequencyHz = options.centreFrequency;
    settings.clockErrorPpm = options.clockErrorPpm;
    settings.startTime = options.startTime;
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

int run(const DecodeOptions& options) {
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
    for (PageListener* feed : feeds.pageListeners()) pages.addListener(*feed);
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
        std::fputs(DecodeShortUsage, stderr);
        return 2;
    }
    // A reader that goes away (`| head`) ends the output quietly instead of killing us mid-write.
    std::signal(SIGPIPE, SIG_IGN);
    DecodeOptions options;
    CommandLine commandLine("sondeco-decode");
    declareDecodeOptions(commandLine.app(), options);
    return runTool(
        "sondeco-decode", decodeUsage(), commandLine, argc, argv, [&] { checkDecodeOptions(options); }, [&] { return run(options); });
}
