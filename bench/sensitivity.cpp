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

namespace {

using namespace sondeco;

constexpr const char* Usage =
    "Usage: sensitivity --rate 100|200 --ebn0 DB [--frames N] [--seed S] [--warmup W] [--list-missing]\n"
    "One point of the sensitivity curve, as a line of JSON.\n";

}  // namespace

int main(int argc, char** argv) {
    ReceptionTrial trial;
    bool listMissing = false;
    bool haveEbN0 = false;
    std::vector<std::string> positional;
    const auto parse = [&]() -> std::optional<ReceptionTrial> {
        CommandLine arguments(argc, argv);
        while (arguments.nextOption(positional)) {
            if (arguments.isHelp()) return std::nullopt;
            const std::string& name = arguments.name();
            if (name == "--rate") {
                const auto rate = parseInteger(name, arguments.value(), 100, 200);
                if (rate != 100 && rate != 200) throw UsageError("--rate must be 100 or 200");
                trial.bitRate = static_cast<int>(rate);
            } else if (name == "--ebn0") {
                trial.ebN0Db = parseNumber(name, arguments.value());
                haveEbN0 = true;
            } else if (name == "--frames") {
                trial.frames = static_cast<int>(parseInteger(name, arguments.value(), 1, 1000000));
            } else if (name == "--warmup") {
                trial.warmupFrames = static_cast<int>(parseInteger(name, arguments.value(), 0, 1000000));
            } else if (name == "--seed") {
                trial.seed = static_cast<std::uint64_t>(parseInteger(name, arguments.value(), 0, 1LL << 62));
            } else if (name == "--list-missing" && !arguments.hasInlineValue()) {
                listMissing = true;
            } else {
                throw UsageError("unknown option " + arguments.argument());
            }
        }
        if (!positional.empty()) throw UsageError("no file arguments are taken");
        if (!haveEbN0) throw UsageError("--ebn0 is needed");
        return trial;
    };
    return runTool("sensitivity", Usage, parse, [&](const ReceptionTrial& point) {
        const ReceptionResult result = runReceptionTrial(point);
        if (listMissing)
            for (std::size_t k : result.score.missing) std::fprintf(stderr, "missing frame %zu\n", k);
        std::printf("{\"rate\":%d,\"ebn0\":%g,\"seed\":%llu,\"warmup\":%d,\"frames\":%d,\"right\":%d,\"wrong\":%d,"
                    "\"demodulated\":%d,\"bits_per_frame\":%.2f,\"audio_seconds\":%.1f}\n",
                    point.bitRate, point.ebN0Db, static_cast<unsigned long long>(point.seed), point.warmupFrames, point.frames,
                    result.score.right, result.score.wrong, result.demodulated, result.bitsPerFrame, result.audioSeconds);
        return 0;
    });
}
