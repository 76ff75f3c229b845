// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/band_decode.h"

#include "audio/audio_input.h"
#include "audio/iq_input.h"
#include "output/frame_log.h"
#include "output/station_table.h"

#include <chrono>
#include <complex>
#include <cstdio>
#include <memory>
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

int runBandDecode(const BandDecodeSettings& settings) {
    // The input opens first: its rate decides the channels.
    IqInput iq;
    AudioInput audio;
    std::string problem;
    double sampleRate = 0.0;
    if (settings.input == BandInput::Iq) {
        const bool opened = settings.iqFormat ? iq.openRaw(settings.path, *settings.iqFormat, settings.iqSampleRate, problem)
                                              : iq.openFile(settings.path, problem);
        if (!opened) return fail(settings, problem);
        if (iq.sampleRate() < LowestIqRate || iq.sampleRate() > HighestIqRate)
            return fail(settings, "is sampled at " + std::to_string(iq.sampleRate()) + " Hz; IQ is taken at " +
                                      std::to_string(LowestIqRate) + " to " + std::to_string(HighestIqRate) + " Hz");
        sampleRate = iq.sampleRate();
    } else {
        const ChannelChoice channel{settings.audioChannel, 1};
        const bool opened = settings.rawAudio ? audio.openRaw(settings.path, settings.rawAudioFormat, channel, problem)
                                              : audio.openFile(settings.path, channel, problem);
        if (!opened) return fail(settings, problem);
        sampleRate = AudioInput::OutputRate;
    }

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
        log = std::make_unique<FrameLog>(settings.logPath);
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
    std::vector<DecoderListener*> pageListeners = feeds.pageListeners();
    if (!settings.format) {
        tableWriter = std::make_unique<StationTableWriter>(table, stdout);
        monitor->addListener(table);
        monitor->addListener(*tableWriter);
    } else {
        output = std::make_unique<DecodedStreamWriter>(*settings.format, stdout, device);
        monitor->addListener(*output);
        if (*settings.format == OutputFormat::Pages) pageListeners.push_back(output.get());
    }
    for (DecoderListener* feed : feeds.decoderListeners()) monitor->addListener(*feed);
    ChannelPagesToStream pages(pageListeners);
    if (!pageListeners.empty()) monitor->addPageListener(pages);

    const auto outputFailed = [&] { return (output && output->failed()) || (tableWriter && tableWriter->failed()); };
    // Lost frames are the decoders' to count; the table and the log hear of them once a block.
    const auto reportLosses = [&] {
        for (const BandChannelStatus& channel : monitor->status()) {
            if (channel.decoder == nullptr) continue;
            const std::uint64_t lost = channel.decoder->statistics().framesLost;
            if (tableWriter) table.framesLost(channel.frequencyHz, lost);
            if (log) log->framesLost(channel.frequencyHz, lost);
        }
        if (tableWriter) tableWriter->refresh();
        // Every block's frames are committed before the next block is read: a live stream may stall
        // for any time, and a kill then must not take the frames decoded before it. With the log in
        // WAL mode and synchronous=NORMAL a commit costs no disk flush, so ten a second cost nothing.
        if (log) log->commit();
        // A live stream's frames are wanted as they come, not a buffer's worth at a time.
        if (output && !output->failed()) std::fflush(stdout);
    };
    const auto blockSize = static_cast<std::size_t>(sampleRate / 10.0);
    std::vector<std::complex<float>> samples(blockSize);
    std::vector<double> audioBlock(blockSize);
    while (!outputFailed()) {
        if (settings.input == BandInput::Iq) {
            const std::size_t got = iq.read(samples);
            if (got == 0) break;
            monitor->process(std::span<const ComplexSample>(samples.data(), got));
        } else {
            const std::size_t got = audio.read(audioBlock);
            if (got == 0) break;
            monitor->process(std::span<const double>(audioBlock.data(), got));
        }
        reportLosses();
    }
    problem = settings.input == BandInput::Iq ? iq.error() : audio.error();
    monitor->finish();
    reportLosses();
    if (tableWriter) tableWriter->finish();
    if (output && !output->failed()) std::fflush(stdout);
    if (log) {
        log->commit();
        if (log->failed()) std::fprintf(stderr, "sondeco-decode: %s\n", log->error().c_str());
    }
    feeds.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    if (settings.statistics) {
        printStatistics(*monitor);
        if (log) std::fprintf(stderr, "frames logged: %llu\n", static_cast<unsigned long long>(log->framesWritten()));
        std::fputs(feeds.statisticsText().c_str(), stderr);
    }
    if (!problem.empty()) return fail(settings, problem);
    return log && log->failed() ? 1 : 0;
}

}  // namespace sondeco
