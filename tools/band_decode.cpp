// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/band_decode.h"

#include "audio/audio_input.h"
#include "audio/iq_input.h"
#include "audio/recording_tuning.h"
#include "output/frame_log.h"
#include "output/station_choice.h"
#include "output/station_table.h"
#include "present/message_pages.h"
#include "tools/run_control.h"
#include "tools/run_outcome.h"

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace sondeco {
namespace {

// Every channel that starts decoding gets message pages of its own, and their pages go out as blocks
// that name the station and the frequency it came on: with many stations in one stream, pages alone
// would not say whose they are.
// Their footers say when, in the stream's time, as the frames do.
class StationPages final : public BandChannelListener {
public:
    StationPages(std::vector<PageListener*> listeners, WallClock streamClock)
        : listeners_(std::move(listeners)), streamClock_(std::move(streamClock)) {}
    void channelOpened(double frequencyHz, bool absolute, DecodingChannel& channel) override {
        const LocalTimeSource footerTime = [this] {
            const auto seconds = static_cast<std::time_t>(std::floor(streamClock_()));
            std::tm local{};
            localtime_r(&seconds, &local);
            return local;
        };
        channels_.push_back(std::make_unique<ChannelPages>(listeners_, frequencyHz, absolute, channel.decoder(), footerTime));
        channel.addListener(channels_.back()->pages);
    }

private:
    struct ChannelPages final : PageListener {
        ChannelPages(const std::vector<PageListener*>& to, double hz, bool isAbsolute, const RtcmDecoder& from, LocalTimeSource clock)
            : pages(std::move(clock)), listeners(to), frequencyHz(hz), absolute(isAbsolute), decoder(from) {
            pages.addListener(*this);
        }
        void pagePublished(int page, const std::string& text) override {
            // The station of the channel's last frame (none before its first).
            const int stationId = decoder.LastStationId();
            const std::string station = stationId < 0 ? std::string("station ?") : "station " + std::to_string(stationId);
            const std::string named = station + " on " + formatStationFrequency(frequencyHz, absolute) + "\r\n" + text;
            for (PageListener* listener : listeners) listener->pagePublished(page, named);
        }
        MessagePages pages;
        const std::vector<PageListener*>& listeners;
        double frequencyHz;
        bool absolute;
        const RtcmDecoder& decoder;
    };
    std::vector<PageListener*> listeners_;
    WallClock streamClock_;
    std::vector<std::unique_ptr<ChannelPages>> channels_;
};

std::string inputName(const BandDecodeSettings& settings) { return settings.path == "-" ? "standard input" : settings.path; }

// Beacons this far off their raster points, all alike, say that the tuning is wrong.
constexpr double MistunedHz = 10.0;
// Clipping worth a warning: one sample in a thousand (noise alone reaches full scale far less often
// at any sane gain).
constexpr double ClippedShareToWarn = 0.001;

int fail(const BandDecodeSettings& settings, const std::string& problem) {
    std::fprintf(stderr, "sondeco-decode: %s %s\n", inputName(settings).c_str(), problem.c_str());
    return 1;
}

void printStatistics(const BandMonitor& monitor) {
    std::fprintf(stderr, "stream seconds: %.1f\nchannels searched: %zu\n",
                 static_cast<double>(monitor.samplesTaken()) / monitor.sampleRate(), monitor.channelCount());
    if (monitor.imageFrames() > 0)
        std::fprintf(stderr, "image frames not passed on: %llu (stations heard again at their mirror frequency)\n",
                     static_cast<unsigned long long>(monitor.imageFrames()));
    if (const auto offset = monitor.tuningOffsetHz())
        std::fprintf(stderr, "tuning: the beacons sit %+.1f Hz from their raster points; their frequencies are corrected by it\n", *offset);
    for (const BandChannelStatus& channel : monitor.status()) {
        if (channel.decoder == nullptr) continue;
        const DecoderStatistics& s = channel.decoder->statistics();
        std::string line = formatStationFrequency(channel.carrierHz.value_or(channel.frequencyHz), monitor.absoluteFrequencies()) +
                           ": frames " + std::to_string(s.frames) + ", repaired words " + std::to_string(s.repairedWords) +
                           ", frames lost " + std::to_string(s.framesLost) + ", not confirmed " + std::to_string(s.framesUnconfirmed);
        char held[64];
        if (channel.bitRate && channel.ebN0Db) {
            std::snprintf(held, sizeof held, "; now %.0f bit/s, Eb/N0 %.1f dB", *channel.bitRate, *channel.ebN0Db);
            line += held;
        }
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

}  // namespace

namespace {

// The stream to decode, opened again from its start for --loop.
class BandStream {
public:
    explicit BandStream(const BandDecodeSettings& settings) : settings_(settings) {}

    bool open(std::string& problem) {
        if (settings_.input == BandInput::Iq) {
            iq_ = std::make_unique<IqInput>();
            return settings_.iqFormat ? iq_->openRaw(settings_.path, *settings_.iqFormat, settings_.iqSampleRate, problem)
                                      : iq_->openFile(settings_.path, problem);
        }
        audio_ = std::make_unique<AudioInput>();
        const ChannelChoice channel{settings_.audioChannel, 1};
        return settings_.rawAudio ? audio_->openRaw(settings_.path, settings_.rawAudioFormat, channel, problem)
                                  : audio_->openFile(settings_.path, channel, problem);
    }
    double sampleRate() const { return iq_ ? iq_->sampleRate() : AudioInput::OutputRate; }
    // The next block into the monitor; how many samples it held, 0 at the end.
    std::size_t decodeNext(BandMonitor& monitor, std::size_t blockSize) {
        if (iq_) {
            iqBlock_.resize(blockSize);
            const std::size_t got = iq_->read(iqBlock_);
            monitor.process(std::span<const ComplexSample>(iqBlock_.data(), got));
            return got;
        }
        audioBlock_.resize(blockSize);
        const std::size_t got = audio_->read(audioBlock_);
        monitor.process(std::span<const double>(audioBlock_.data(), got));
        return got;
    }
    const std::string& error() const { return iq_ ? iq_->error() : audio_->error(); }
    const IqInput* iq() const { return iq_.get(); }

private:
    const BandDecodeSettings& settings_;
    std::unique_ptr<IqInput> iq_;
    std::unique_ptr<AudioInput> audio_;
    std::vector<std::complex<float>> iqBlock_;
    std::vector<double> audioBlock_;
};

}  // namespace

namespace {

// The monitor for the stream's rate, or why there is none.
std::unique_ptr<BandMonitor> openMonitor(const BandDecodeSettings& settings, double sampleRate, std::string& problem) {
    if (settings.input == BandInput::Iq && (sampleRate < LowestIqRate || sampleRate > HighestIqRate)) {
        problem = "is sampled at " + std::to_string(static_cast<long long>(sampleRate)) + " Hz; IQ is taken at " +
                  std::to_string(LowestIqRate) + " to " + std::to_string(HighestIqRate) + " Hz";
        return nullptr;
    }
    BandMonitorSettings monitorSettings;
    monitorSettings.input = settings.input;
    monitorSettings.sampleRate = sampleRate;
    monitorSettings.centreFrequencyHz = settings.centreFrequencyHz;
    monitorSettings.clockErrorPpm = settings.clockErrorPpm;
    monitorSettings.streamStartUtc = settings.startTime;
    try {
        return std::make_unique<BandMonitor>(monitorSettings);
    } catch (const std::invalid_argument& error) {
        problem = std::string("cannot be searched: ") + error.what();
        return nullptr;
    }
}

// "1.2 MS/s", "250 kS/s", "12 kS/s": a rate as SDR programs show it.
std::string rateText(double samplesPerSecond) {
    char text[32];
    if (samplesPerSecond >= 1e6)
        std::snprintf(text, sizeof text, "%g MS/s", samplesPerSecond / 1e6);
    else
        std::snprintf(text, sizeof text, "%g kS/s", samplesPerSecond / 1e3);
    return text;
}

// The live table's first line: where in the stream the run is and what it has found about the input.
// Most telling first, since a narrow terminal cuts the end.
std::string runHeadline(const BandMonitor& monitor, const IqInput* iq, std::size_t stations) {
    std::string line = formatUtcTime(monitor.streamTime().value_or(0.0)) + " UTC  " + rateText(monitor.sampleRate()) + "  " +
                       std::to_string(monitor.channelCount()) + " channels";
    line += stations == 0 ? "  searching" : "  " + std::to_string(stations) + (stations == 1 ? " station" : " stations");
    char text[64];
    if (iq != nullptr && iq->clippedSamples() > 0 && iq->samplesRead() > 0) {
        std::snprintf(text, sizeof text, "  clipped %.2f %%",
                      100.0 * static_cast<double>(iq->clippedSamples()) / static_cast<double>(iq->samplesRead()));
        line += text;
    }
    if (const auto offset = monitor.tuningOffsetHz(); offset && std::fabs(*offset) >= 0.5) {
        std::snprintf(text, sizeof text, "  tuning %+.0f Hz", *offset);
        line += text;
    }
    return line;
}

// What the IQ input measured of the receiver: clipping, DC offset and IQ imbalance.
void describeReceiver(const IqInput& iq, FrameLogRunFindings& findings) {
    findings.clippedSamples = iq.clippedSamples();
    if (iq.samplesRead() == 0) return;
    findings.dcOffsetDbfs = 20.0 * std::log10(std::max(std::abs(iq.dcOffset()), 1e-12));
    if (const auto imbalance = iq.imbalance(); imbalance && std::isfinite(imbalance->imageRejectionDb))
        findings.imageRejectionDb = imbalance->imageRejectionDb;
}

// Everything the monitor's frames go to: standard output (a station table or one format), the feeds,
// the frame log and the pages.
class BandOutputs {
public:
    // `streamClock`: the stream's time, which the frames' records carry.
    BandOutputs(const BandDecodeSettings& settings, WallClock streamClock, FrameLogRun run)
        : settings_(settings), streamClock_(std::move(streamClock)), run_(std::move(run)), table_(streamClock_) {}

    // On failure the problem is a whole line to print.
    bool open(std::string& problem) {
        const std::string device = settings_.path == "-" ? "stdin" : settings_.path;
        if (!feeds_.open(settings_.feeds, settings_.format.value_or(OutputFormat::Frames), device, problem)) return false;
        if (!settings_.format)
            tableWriter_ = std::make_unique<StationTableWriter>(table_, stdout);
        else
            output_ = std::make_unique<DecodedStreamWriter>(*settings_.format, stdout, device);
        if (settings_.logPath.empty()) return true;
        // The log's trouble (another program holding it, a full disk) is told as it starts and ends,
        // while the frames go on to the other outputs.
        FrameLogOptions logOptions;
        logOptions.report = [](const std::string& line) { std::fprintf(stderr, "sondeco-decode: %s\n", line.c_str()); };
        logOptions.run = run_;
        log_ = std::make_unique<FrameLog>(settings_.logPath, streamClock_, std::move(logOptions));
        if (!log_->failed()) return true;
        problem = log_->error();
        return false;
    }

    // `stream` is asked for its IQ input whenever the headline is drawn: --loop opens it anew.
    void attach(BandMonitor& monitor, const BandStream& stream) {
        std::vector<PageListener*> pageListeners = feeds_.pageListeners();
        if (log_) monitor.addListener(*log_);
        // The station table is kept whenever it is shown; the writers follow it, so that a redraw
        // shows the frame that caused it.
        if (tableWriter_) {
            monitor.addListener(table_);
            monitor.addListener(*tableWriter_);
            if (log_) tableWriter_->setStatus([this] { return log_->statusLine(); });
            tableWriter_->setHeadline([this, &monitor, &stream] { return runHeadline(monitor, stream.iq(), table_.rows().size()); });
        } else if (*settings_.format == OutputFormat::Rtcm) {
            // RTCM on standard output carries one station too.
            oneStationOutput_ = std::make_unique<OneStationFeed>(*output_, settings_.feeds.rtcmStation);
            monitor.addListener(*oneStationOutput_);
        } else {
            monitor.addListener(*output_);
            if (*settings_.format == OutputFormat::Pages) pageListeners.push_back(output_.get());
        }
        for (DecoderListener* feed : feeds_.decoderListeners()) monitor.addListener(*feed);
        pages_ = std::make_unique<StationPages>(pageListeners, streamClock_);
        if (!pageListeners.empty()) monitor.addChannelListener(*pages_);
    }

    bool mustStop() {
        return runMustStop(output_.get(), feeds_) || (tableWriter_ && tableWriter_->failed()) ||
               (oneStationOutput_ && oneStationOutput_->conflict());
    }

    // Lost frames are the decoders' to count; the table and the log hear of them once a block. The
    // log commits on its own thread within a second of a frame, whether or not the stream stalls.
    // The run's findings go to the log the same way.
    void reportLosses(const BandMonitor& monitor, const IqInput* iq) {
        for (const BandChannelStatus& channel : monitor.status()) {
            if (channel.decoder == nullptr) continue;
            const std::uint64_t lost = channel.decoder->statistics().framesLost;
            if (tableWriter_) table_.framesLost(channel.frequencyHz, lost);
            if (log_) log_->framesLost(channel.frequencyHz, lost);
        }
        if (log_) {
            FrameLogRunFindings findings;
            findings.tuningOffsetHz = monitor.tuningOffsetHz();
            findings.samples = monitor.samplesTaken();
            if (iq != nullptr) describeReceiver(*iq, findings);
            log_->runFindings(findings);
        }
        if (tableWriter_) tableWriter_->refresh();
    }

    void finish(const BandMonitor& monitor) {
        if (tableWriter_) tableWriter_->finish();
        if (log_) log_->finish();
        feeds_.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
        if (!settings_.statistics) return;
        printStatistics(monitor);
        if (log_) std::fprintf(stderr, "frames logged: %llu\n", static_cast<unsigned long long>(log_->framesWritten()));
        std::fputs(feeds_.statisticsText().c_str(), stderr);
    }

    int reportOutcome(const std::string& inputProblem) {
        RunOutcome outcome;
        outcome.inputName = inputName(settings_);
        outcome.inputProblem = inputProblem;
        outcome.output = output_.get();
        outcome.outputFailed = tableWriter_ && tableWriter_->failed();
        outcome.outputErrorNumber = tableWriter_ ? tableWriter_->errorNumber() : 0;
        outcome.feeds = &feeds_;
        if (oneStationOutput_ && oneStationOutput_->conflict())
            outcome.otherProblems.push_back(stationConflictProblem("-o rtcm: " + oneStationOutput_->conflictText()));
        if (log_ && log_->failed()) outcome.otherProblems.push_back(log_->error());
        return sondeco::reportOutcome(outcome);
    }

private:
    const BandDecodeSettings& settings_;
    WallClock streamClock_;
    FrameLogRun run_;
    OutputFeeds feeds_;
    std::unique_ptr<FrameLog> log_;
    StationTable table_;
    std::unique_ptr<StationTableWriter> tableWriter_;
    std::unique_ptr<DecodedStreamWriter> output_;
    std::unique_ptr<OneStationFeed> oneStationOutput_;
    std::unique_ptr<StationPages> pages_;
};

// Beacons all off their raster by the same amount: the centre given (or the receiver) is off. Said
// as soon as it is found, so that a user watching a live stream can retune; once a run.
class MistuningWarning {
public:
    explicit MistuningWarning(const BandDecodeSettings& settings) : settings_(settings) {}
    void check(const BandMonitor& monitor) {
        const auto offset = monitor.tuningOffsetHz();
        if (said_ || !offset || std::fabs(*offset) < MistunedHz) return;
        said_ = true;
        std::fprintf(stderr,
                     "sondeco-decode: %s: the beacons heard sit %+.0f Hz off the 500 Hz raster, so the centre frequency (or the "
                     "receiver's clock) is that far off; their frequencies are corrected\n",
                     inputName(settings_).c_str(), *offset);
    }

private:
    const BandDecodeSettings& settings_;
    bool said_ = false;
};

// Block by block to the end of the stream (again from its start with --loop) or until an output
// cannot go on; the input's problem, if any.
std::string decodeStream(const BandDecodeSettings& settings, BandStream& stream, BandMonitor& monitor, BandOutputs& outputs) {
    const auto blockSize = static_cast<std::size_t>(stream.sampleRate() / 10.0);
    std::optional<RealTimePacer> pacer;
    if (settings.realtime) pacer.emplace(stream.sampleRate());
    std::string problem;
    std::size_t samplesThisPass = 0;
    MistuningWarning mistuning(settings);
    while (!outputs.mustStop()) {
        const std::size_t got = stream.decodeNext(monitor, blockSize);
        if (got == 0) {
            if (!settings.loop || samplesThisPass == 0 || !stream.error().empty()) break;
            if (!stream.open(problem)) break;
            samplesThisPass = 0;
            continue;
        }
        samplesThisPass += got;
        outputs.reportLosses(monitor, stream.iq());
        mistuning.check(monitor);
        if (pacer) pacer->advance(got);
    }
    return problem.empty() ? stream.error() : problem;
}

}  // namespace

// An overloaded receiver clips: said with --stats, and on standard error when it is more than now and
// then. --stats also gives the receiver's DC offset and IQ imbalance.
void reportReceiver(const BandDecodeSettings& settings, const IqInput* iq) {
    if (iq == nullptr || iq->samplesRead() == 0) return;
    const double share = static_cast<double>(iq->clippedSamples()) / static_cast<double>(iq->samplesRead());
    if (settings.statistics) {
        std::fprintf(stderr, "clipped samples: %llu of %llu (%.3f %%)\n", static_cast<unsigned long long>(iq->clippedSamples()),
                     static_cast<unsigned long long>(iq->samplesRead()), 100.0 * share);
        FrameLogRunFindings found;
        describeReceiver(*iq, found);
        if (found.dcOffsetDbfs) std::fprintf(stderr, "DC offset: %.1f dBFS\n", *found.dcOffsetDbfs);
        if (const auto imbalance = iq->imbalance())
            std::fprintf(stderr, "IQ imbalance: gain %+.2f dB, phase %+.2f degrees; mirror images %.0f dB down\n", imbalance->gainDb,
                         imbalance->phaseDegrees, std::min(imbalance->imageRejectionDb, 99.0));
    }
    if (share >= ClippedShareToWarn)
        std::fprintf(stderr,
                     "sondeco-decode: %s: %.2f %% of the samples are clipped: the receiver is overloaded (turn its gain down); "
                     "weak beacons are lost under it\n",
                     inputName(settings).c_str(), 100.0 * share);
}

// The centre to search with: the one given, else the recording's own; says when the two disagree.
std::optional<double> chooseCentre(const BandDecodeSettings& settings, const RecordingTuning& tuning) {
    if (settings.input != BandInput::Iq || !tuning.centreHz) return settings.centreFrequencyHz;
    const std::string said = std::to_string(std::llround(*tuning.centreHz)) + " Hz";
    if (settings.centreFrequencyHz) {
        if (std::fabs(*settings.centreFrequencyHz - *tuning.centreHz) >= 1.0)
            std::fprintf(stderr, "sondeco-decode: %s: --center-freq %lld Hz is used, though %s says %s\n", inputName(settings).c_str(),
                         std::llround(*settings.centreFrequencyHz), tuning.source.c_str(), said.c_str());
        return settings.centreFrequencyHz;
    }
    if (settings.statistics) std::fprintf(stderr, "centre frequency: %s, from %s\n", said.c_str(), tuning.source.c_str());
    return tuning.centreHz;
}

// When the stream began: as the user says, else as the recording says, else now (a live stream's
// samples are as old as the run; a file that does not say is dated by the run, and --stats says so).
double chooseStart(const BandDecodeSettings& settings, const RecordingTuning& tuning) {
    const auto [start, source] = settings.startTime ? std::pair(*settings.startTime, std::string("--start-time"))
                                 : tuning.startUtcSeconds
                                     ? std::pair(static_cast<double>(*tuning.startUtcSeconds),
                                                 tuning.startFromGps ? std::string("its kiwi chunks' GPS time") : tuning.source)
                                     : std::pair(systemWallClock(), std::string("the time the run began (the input does not say)"));
    if (settings.statistics) std::fprintf(stderr, "stream start: %s UTC, from %s\n", formatUtcTime(start).c_str(), source.c_str());
    return start;
}

int runBandDecode(const BandDecodeSettings& given) {
    BandDecodeSettings settings = given;
    // Audio holding beacons says nothing of its tuning, but an IQ recording may say both.
    const RecordingTuning tuning = settings.input == BandInput::Iq ? readRecordingTuning(settings.path) : RecordingTuning{};
    settings.centreFrequencyHz = chooseCentre(given, tuning);
    settings.startTime = chooseStart(given, tuning);
    // The input opens first: its rate decides the channels.
    BandStream stream(settings);
    std::string problem;
    if (!stream.open(problem)) return fail(settings, problem);
    const std::unique_ptr<BandMonitor> monitor = openMonitor(settings, stream.sampleRate(), problem);
    if (!monitor) return fail(settings, problem);
    FrameLogRun run;
    run.input = inputName(settings);
    run.centreHz = settings.centreFrequencyHz;
    run.sampleRate = stream.sampleRate();
    run.streamStart = settings.startTime;
    run.programVersion = SONDECO_VERSION;
    BandOutputs outputs(
        settings, [&monitor] { return monitor->streamTime().value_or(0.0); }, std::move(run));
    if (!outputs.open(problem)) {
        std::fprintf(stderr, "sondeco-decode: %s\n", problem.c_str());
        return 1;
    }
    outputs.attach(*monitor, stream);
    problem = decodeStream(settings, stream, *monitor, outputs);
    monitor->finish();
    reportReceiver(settings, stream.iq());
    outputs.reportLosses(*monitor, stream.iq());
    outputs.finish(*monitor);
    return outputs.reportOutcome(problem);
}

}  // namespace sondeco
