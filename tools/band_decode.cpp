// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/band_decode.h"

#include "audio/audio_input.h"
#include "audio/iq_input.h"
#include "output/frame_log.h"
#include "output/station_choice.h"
#include "output/station_table.h"
#include "tools/run_control.h"
#include "tools/run_outcome.h"

#include <chrono>
#include <complex>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace sondeco {
namespace {

// A page block names the station and the frequency it came on: with many stations in one stream,
// pages alone would not say whose they are.
class ChannelPagesToStream final : public ChannelPageListener {
public:
    explicit ChannelPagesToStream(std::vector<DecoderListener*> listeners) : listeners_(std::move(listeners)) {}
    void channelPagePublished(double frequencyHz, bool absolute, int stationId, int page, const std::string& text) override {
        const std::string station = stationId < 0 ? std::string("station ?") : "station " + std::to_string(stationId);
        const std::string named = station + " on " + formatStationFrequency(frequencyHz, absolute) + "\r\n" + text;
        for (DecoderListener* listener : listeners_) listener->pagePublished(page, named);
    }

private:
    std::vector<DecoderListener*> listeners_;
};

std::string inputName(const BandDecodeSettings& settings) { return settings.path == "-" ? "standard input" : settings.path; }

int fail(const BandDecodeSettings& settings, const std::string& problem) {
    std::fprintf(stderr, "sondeco-decode: %s %s\n", inputName(settings).c_str(), problem.c_str());
    return 1;
}

void printStatistics(const BandMonitor& monitor) {
    std::fprintf(stderr, "stream seconds: %.1f\nchannels searched: %zu\n",
                 static_cast<double>(monitor.samplesTaken()) / monitor.sampleRate(), monitor.channelCount());
    for (const BandChannelStatus& channel : monitor.status()) {
        if (channel.decoder == nullptr) continue;
        const DecoderStatistics& s = channel.decoder->statistics();
        std::string line = formatStationFrequency(channel.carrierHz.value_or(channel.frequencyHz), monitor.absoluteFrequencies()) +
                           ": frames " + std::to_string(s.frames) + ", repaired words " + std::to_string(s.repairedWords) +
                           ", frames lost " + std::to_string(s.framesLost);
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

private:
    const BandDecodeSettings& settings_;
    std::unique_ptr<IqInput> iq_;
    std::unique_ptr<AudioInput> audio_;
    std::vector<std::complex<float>> iqBlock_;
    std::vector<double> audioBlock_;
};

}  // namespace

int runBandDecode(const BandDecodeSettings& settings) {
    // The input opens first: its rate decides the channels.
    BandStream stream(settings);
    std::string problem;
    if (!stream.open(problem)) return fail(settings, problem);
    const double sampleRate = stream.sampleRate();
    if (settings.input == BandInput::Iq && (sampleRate < LowestIqRate || sampleRate > HighestIqRate))
        return fail(settings, "is sampled at " + std::to_string(static_cast<long long>(sampleRate)) + " Hz; IQ is taken at " +
                                  std::to_string(LowestIqRate) + " to " + std::to_string(HighestIqRate) + " Hz");

    BandMonitorSettings monitorSettings;
    monitorSettings.input = settings.input;
    monitorSettings.sampleRate = sampleRate;
    monitorSettings.centreFrequencyHz = settings.centreFrequencyHz;
    std::unique_ptr<BandMonitor> monitor;
    try {
        monitor = std::make_unique<BandMonitor>(monitorSettings);
    } catch (const std::invalid_argument& error) {
        return fail(settings, std::string("cannot be searched: ") + error.what());
    }

    const std::string device = settings.path == "-" ? "stdin" : settings.path;
    OutputFeeds feeds;
    if (!feeds.open(settings.feeds, settings.format.value_or(OutputFormat::Frames), device, problem)) {
        std::fprintf(stderr, "sondeco-decode: %s\n", problem.c_str());
        return 1;
    }
    std::unique_ptr<FrameLog> log;
    if (!settings.logPath.empty()) {
        // The log's trouble (another program holding it, a full disk) is told as it starts and ends,
        // while the frames go on to the other outputs.
        FrameLogOptions logOptions;
        logOptions.report = [](const std::string& line) { std::fprintf(stderr, "sondeco-decode: %s\n", line.c_str()); };
        log = std::make_unique<FrameLog>(settings.logPath, systemWallClock, std::move(logOptions));
        if (log->failed()) {
            std::fprintf(stderr, "sondeco-decode: %s\n", log->error().c_str());
            return 1;
        }
        monitor->addListener(*log);
    }

    // The station table is kept whenever it is shown; the writers follow it, so that a redraw shows
    // the frame that caused it.
    StationTable table;
    std::unique_ptr<StationTableWriter> tableWriter;
    std::unique_ptr<DecodedStreamWriter> output;
    std::unique_ptr<OneStationFeed> oneStationOutput;  // RTCM on standard output carries one station too
    std::vector<DecoderListener*> pageListeners = feeds.pageListeners();
    if (!settings.format) {
        tableWriter = std::make_unique<StationTableWriter>(table, stdout);
        monitor->addListener(table);
        monitor->addListener(*tableWriter);
        if (log) tableWriter->setStatus([&log] { return log->statusLine(); });
    } else {
        output = std::make_unique<DecodedStreamWriter>(*settings.format, stdout, device);
        if (*settings.format == OutputFormat::Rtcm) {
            oneStationOutput = std::make_unique<OneStationFeed>(*output, settings.feeds.rtcmStation);
            monitor->addListener(*oneStationOutput);
        } else {
            monitor->addListener(*output);
        }
        if (*settings.format == OutputFormat::Pages) pageListeners.push_back(output.get());
    }
    for (DecoderListener* feed : feeds.decoderListeners()) monitor->addListener(*feed);
    ChannelPagesToStream pages(pageListeners);
    if (!pageListeners.empty()) monitor->addPageListener(pages);

    const auto mustStop = [&] {
        return runMustStop(output.get(), feeds) || (tableWriter && tableWriter->failed()) ||
               (oneStationOutput && oneStationOutput->conflict());
    };
    // Lost frames are the decoders' to count; the table and the log hear of them once a block.
    const auto reportLosses = [&] {
        for (const BandChannelStatus& channel : monitor->status()) {
            if (channel.decoder == nullptr) continue;
            const std::uint64_t lost = channel.decoder->statistics().framesLost;
            if (tableWriter) table.framesLost(channel.frequencyHz, lost);
            if (log) log->framesLost(channel.frequencyHz, lost);
        }
        if (tableWriter) tableWriter->refresh();
        // The log commits on its own thread within a second of a frame, whether or not the stream
        // stalls after it.
    };
    const auto blockSize = static_cast<std::size_t>(sampleRate / 10.0);
    std::optional<RealTimePacer> pacer;
    if (settings.realtime) pacer.emplace(sampleRate);
    std::size_t samplesThisPass = 0;
    while (!mustStop()) {
        const std::size_t got = stream.decodeNext(*monitor, blockSize);
        if (got == 0) {
            if (!settings.loop || samplesThisPass == 0 || !stream.error().empty()) break;
            if (!stream.open(problem)) break;
            samplesThisPass = 0;
            continue;
        }
        samplesThisPass += got;
        reportLosses();
        if (pacer) pacer->advance(got);
    }
    if (problem.empty()) problem = stream.error();
    monitor->finish();
    reportLosses();
    if (tableWriter) tableWriter->finish();
    if (log) log->finish();
    feeds.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    if (settings.statistics) {
        printStatistics(*monitor);
        if (log) std::fprintf(stderr, "frames logged: %llu\n", static_cast<unsigned long long>(log->framesWritten()));
        std::fputs(feeds.statisticsText().c_str(), stderr);
    }
    RunOutcome outcome;
    outcome.inputName = inputName(settings);
    outcome.inputProblem = problem;
    outcome.output = output.get();
    outcome.outputFailed = tableWriter && tableWriter->failed();
    outcome.outputErrorNumber = tableWriter ? tableWriter->errorNumber() : 0;
    outcome.feeds = &feeds;
    if (oneStationOutput && oneStationOutput->conflict())
        outcome.otherProblems.push_back(stationConflictProblem("-o rtcm: " + oneStationOutput->conflictText()));
    if (log && log->failed()) outcome.otherProblems.push_back(log->error());
    return reportOutcome(outcome);
}

}  // namespace sondeco
