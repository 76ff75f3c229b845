// SPDX-License-Identifier: GPL-3.0-or-later
// One point of the sensitivity curve: a fixed-seed beacon signal of N frames at one Eb/N0 through the
// receiver's own chain, and how many of the N frames came out with every header field and data word
// as sent (measure/reception_trial.h). bench/sensitivity.py runs it over a grid of Eb/N0 and bit
// rates and prints the table of docs/performance.md.
//
// Prints one JSON object on a line: the point, the frames counted, decoded right, and decoded wrong
// (frames that passed parity but differ from every frame sent there: false frames or duplicates).
// Beside them, "demodulated": the frames whose transmitted bits all came out of the demodulator
// right, found in its decisions wherever the bit clock put them. That is as many as any word and
// frame synchroniser could deliver from these decisions, so the difference to "right" is what the
// RTCM side's synchronisation costs.
//
// The N counted frames follow W warm-up frames (default 10). The curve is meant to show the
// receiver in its running state; how soon it first locks after switch-on depends on where the
// filters are in their start-up swing when the first bits arrive, and would otherwise move a point
// by a few frames.
#include "measure/reception_trial.h"
#include "tools/command_line.h"

#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace sondeco;

constexpr const char* Usage =
    "Usage: sensitivity --rate R --ebn0 DB [--receiver classic|enhanced] [--frames N] [--seed S] [--warmup W]\n"
    "                   [--freq HZ] [--hints] [--offset HZ] [--drift HZ_PER_S] [--clock-ppm PPM]\n"
    "                   [--static BURSTS_PER_S,PEAK_DB] [--random-contents] [--list-missing]\n"
    "                   [--rayleigh DOPPLER_HZ] [--carrier OFFSET_HZ,LEVEL_DB[,steady|morse|tone]]...\n"
    "One point of the sensitivity curve, as a line of JSON. The classic receiver takes rates 100 and 200\n"
    "and tones 500..1000 Hz in 10 Hz steps; the enhanced one rates 25, 50, 100, 200 and tones 200..3500.\n"
    "--rayleigh fades the beacon (Rayleigh, Eb/N0 the mean); --carrier adds another station's carrier this far\n"
    "from the beacon's tone, this strong against it, keyed with \"DGPS\" at 10 wpm for morse and tone.\n";

}  // namespace

int main(int argc, char** argv) {
    ReceptionTrial trial;
    bool listMissing = false;
    CommandLine commandLine("sensitivity");
    CLI::App& app = commandLine.app();
    app.add_option("--rate", trial.bitRate)->check(CLI::IsMember({25, 50, 100, 200}));
    const std::map<std::string, ReceiverKind> kinds{{"classic", ReceiverKind::Classic}, {"enhanced", ReceiverKind::Enhanced}};
    app.add_option("--receiver", trial.kind)->transform(CLI::CheckedTransformer(kinds));
    app.add_option("--freq", trial.centreFrequency)->check(CLI::Range(200.0, 3500.0));
    addFlag(app, "--hints", trial.hints);
    app.add_option("--offset", trial.frequencyOffset)->check(CLI::Range(-100.0, 100.0));
    app.add_option("--drift", trial.driftHzPerSecond)->check(CLI::Range(-10.0, 10.0));
    app.add_option("--clock-ppm", trial.clockErrorPpm)->check(CLI::Range(-5000.0, 5000.0));
    std::vector<double> staticBursts;
    app.add_option("--static", staticBursts)->delimiter(',')->expected(2);
    app.add_option("--ebn0", trial.ebN0Db)->required();
    app.add_option("--frames", trial.frames)->check(CLI::Range(1, 1000000));
    app.add_option("--warmup", trial.warmupFrames)->check(CLI::Range(0, 1000000));
    app.add_option_function<long long>("--seed", [&trial](long long seed) { trial.seed = static_cast<std::uint64_t>(seed); })
        ->check(CLI::Range(0LL, std::numeric_limits<long long>::max()));
    addFlag(app, "--random-contents", trial.randomContents);
    app.add_option("--rayleigh", trial.rayleighDopplerHz)->check(CLI::Range(0.0, 20.0));
    std::vector<std::string> carriers;
    app.add_option("--carrier", carriers);
    addFlag(app, "--list-missing", listMissing);
    return runTool(
        "sensitivity", Usage, commandLine, argc, argv,
        [&] {
            for (const std::string& text : carriers) {
                const std::size_t first = text.find(','), second = text.find(',', first == std::string::npos ? first : first + 1);
                std::optional<InterferingCarrier> carrier =
                    parseCarrierKeying(second == std::string::npos ? "steady" : text.substr(second + 1));
                if (first == std::string::npos || !carrier)
                    throw UsageError("--carrier takes OFFSET_HZ,LEVEL_DB[,steady|morse|tone]: " + text);
                try {
                    carrier->frequency = trial.centreFrequency + trial.frequencyOffset + std::stod(text.substr(0, first));
                    carrier->levelDb = std::stod(text.substr(first + 1, second - first - 1));
                } catch (const std::exception&) {
                    throw UsageError("--carrier takes OFFSET_HZ,LEVEL_DB[,steady|morse|tone]: " + text);
                }
                trial.carriers.push_back(*carrier);
            }
            if (!staticBursts.empty()) {
                trial.staticBurstsPerSecond = staticBursts[0];
                trial.staticPeakDb = staticBursts[1];
            }
            if (trial.kind == ReceiverKind::Classic && (trial.bitRate < 100 || trial.centreFrequency < 500 || trial.centreFrequency > 1000))
                throw UsageError("the classic receiver decodes 100 or 200 bit/s around 500..1000 Hz");
        },
        [&] {
            const ReceptionResult result = runReceptionTrial(trial);
            if (listMissing)
                for (std::size_t k : result.score.missing) std::fprintf(stderr, "missing frame %zu\n", k);
            std::printf(
                "{\"receiver\":\"%s\",\"rate\":%d,\"ebn0\":%g,\"seed\":%llu,\"warmup\":%d,\"frames\":%d,\"right\":%d,"
                "\"wrong\":%d,\"demodulated\":%d,\"first_frame_seconds\":%.1f,\"bits_per_frame\":%.2f,\"audio_seconds\":%.1f,"
                "\"ideal_hard\":%.2f}\n",
                trial.kind == ReceiverKind::Classic ? "classic" : "enhanced", trial.bitRate, trial.ebN0Db,
                static_cast<unsigned long long>(trial.seed), trial.warmupFrames, trial.frames, result.score.right, result.score.wrong,
                result.demodulated, result.firstRightFrameSeconds, result.bitsPerFrame, result.audioSeconds, result.idealHard);
            return 0;
        });
}
