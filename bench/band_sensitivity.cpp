// SPDX-License-Identifier: GPL-3.0-or-later
// The band monitor's sensitivity against one receiver's: the same beacon, with the same noise density,
// decoded (1) alone in audio by the enhanced receiver, (2) alone in a 96 kS/s IQ stream by the band
// monitor, and (3) in the band monitor with a beacon 20 dB stronger in the next channel, 500 Hz up.
// Prints a markdown table of the frames decoded right, in percent, for each Eb/N0 and both rates, and
// the Eb/N0 where each reaches 50 % (linear between the points). Run by hand or by make sensitivity;
// the figures go to docs/performance.md.
#include "band/band_monitor.h"
#include "measure/reception_trial.h"
#include "receiver/receiver.h"
#include "signalgen/band_signal.h"
#include "tools/command_line.h"

#include <cmath>
#include <complex>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace sondeco;

constexpr const char* Usage =
    "Usage: band_sensitivity [--from DB] [--to DB] [--step DB] [--frames N] [--seed S]\n"
    "The band monitor's sensitivity beside the enhanced receiver's, as a markdown table.\n";

constexpr int WeakStation = 200;
constexpr int WarmupFrames = 5;

enum class Setup { AudioAlone, BandAlone, BandBesideStrong };

// Keeps the frames of one station: the weak beacon's, whatever else the band holds.
struct StationRecorder final : DecoderListener {
    std::vector<RtcmFrame> frames;
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage&) override {
        if (frame.stationId == WeakStation) frames.push_back(frame);
    }
};

// Frames of the weak beacon decoded right, in percent of those counted.
double percentRight(Setup setup, double bitRate, double ebN0Db, int frames, std::uint64_t seed) {
    BandSettings band;
    band.seed = seed;
    band.keepSentFrames = true;
    BandBeacon weak;
    weak.bitRate = bitRate;
    weak.stationId = WeakStation;
    weak.ebN0Db = ebN0Db;
    if (setup == Setup::AudioAlone) {
        band.output = BandOutput::Real;
        band.sampleRate = 48000.0;
        band.centreFrequency = 0.0;
        weak.frequency = 1000.0;
    } else {
        band.sampleRate = 96000.0;
        band.centreFrequency = 304000.0;
        weak.frequency = 300000.0;
    }
    band.beacons.push_back(weak);
    if (setup == Setup::BandBesideStrong) {
        BandBeacon strong = weak;
        strong.frequency = 300500.0;
        strong.stationId = WeakStation + 1;
        strong.ebN0Db = ebN0Db + 20.0;
        band.beacons.push_back(strong);
    }
    BandSignal signal(band);
    StationRecorder recorder;
    std::optional<Receiver> receiver;
    std::optional<BandMonitor> monitor;
    if (setup == Setup::AudioAlone) {
        ReceiverSettings settings;
        settings.kind = ReceiverKind::Enhanced;
        receiver.emplace(settings);
        receiver->addListener(recorder);
    } else {
        BandMonitorSettings settings;
        settings.sampleRate = band.sampleRate;
        settings.centreFrequencyHz = band.centreFrequency;
        monitor.emplace(settings);
        monitor->addListener(recorder);
    }
    const auto block = static_cast<std::size_t>(band.sampleRate / 10.0);
    std::vector<std::complex<float>> iq(block);
    std::vector<float> audio(block);
    std::vector<double> samples(block);
    const auto wanted = static_cast<std::size_t>(WarmupFrames + frames + 3);
    while (signal.sentFrames(0).size() < wanted) {
        if (receiver) {
            signal.render(std::span<float>(audio));
            // The audio chain takes 16-bit units; the band signal is at full scale 1.
            for (std::size_t n = 0; n < block; ++n) samples[n] = 32768.0 * audio[n];
            receiver->pushSamples(samples);
        } else {
            signal.render(std::span<std::complex<float>>(iq));
            monitor->process(std::span<const ComplexSample>(iq));
        }
    }
    const auto first = static_cast<std::size_t>(WarmupFrames);
    const ReceptionScore score = scoreReception(recorder.frames, signal.sentFrames(0), first, first + static_cast<std::size_t>(frames));
    return 100.0 * score.right / frames;
}

std::optional<double> fiftyPercentAt(const std::vector<double>& points, const std::vector<double>& percent) {
    for (std::size_t n = 1; n < points.size(); ++n)
        if (percent[n - 1] < 50.0 && percent[n] >= 50.0)
            return points[n - 1] + (50.0 - percent[n - 1]) / (percent[n] - percent[n - 1]) * (points[n] - points[n - 1]);
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    double from = 4.0;
    double to = 9.0;
    double step = 0.5;
    int frames = 200;
    long long seed = 1;
    CommandLine commandLine("band_sensitivity");
    CLI::App& app = commandLine.app();
    app.add_option("--from", from);
    app.add_option("--to", to);
    app.add_option("--step", step)->check(CLI::Range(0.1, 10.0));
    app.add_option("--frames", frames)->check(CLI::Range(10, 100000));
    app.add_option("--seed", seed)->check(CLI::Range(0LL, 1LL << 40));
    return runTool(
        "band_sensitivity", Usage, commandLine, argc, argv, [] {},
        [&] {
            const Setup setups[] = {Setup::AudioAlone, Setup::BandAlone, Setup::BandBesideStrong};
            std::vector<double> points;
            for (double db = from; db <= to + 1e-9; db += step) points.push_back(db);
            std::printf(
                "| Eb/N0 | 100 bit/s: enhanced receiver | band monitor | band, +20 dB next channel | 200 bit/s: enhanced receiver "
                "| band monitor | band, +20 dB next channel |\n|---|---|---|---|---|---|---|\n");
            std::vector<std::vector<double>> columns(6);
            for (const double db : points) {
                std::printf("| %.1f dB", db);
                int column = 0;
                for (const double rate : {100.0, 200.0}) {
                    for (const Setup setup : setups) {
                        const double percent = percentRight(setup, rate, db, frames, static_cast<std::uint64_t>(seed));
                        columns[static_cast<std::size_t>(column++)].push_back(percent);
                        std::printf(" | %.1f %%", percent);
                    }
                }
                std::printf(" |\n");
                std::fflush(stdout);
            }
            std::printf("| 50 %% at");
            for (const auto& column : columns) {
                const auto at = fiftyPercentAt(points, column);
                if (at) {
                    std::printf(" | %.2f dB", *at);
                } else {
                    std::printf(" | -");
                }
            }
            std::printf(" |\n");
            return 0;
        });
}
