// SPDX-License-Identifier: GPL-3.0-or-later
// How the enhanced receiver does against noise and static: fixed-seed beacon signals of the simulated
// station through the EnhancedReceiver, and for each Eb/N0
//   - the bit error rate of its hard decisions, beside an ideal coherent receiver's (differential
//     decisions double Q(sqrt(2 Eb/N0)), since one wrong symbol spoils the two bits it joins);
//   - frames exactly as sent: hard decisions through the program's RTCM decoder, and the soft bits
//     through a small word synchroniser of this program's own that repairs words (rtcm/word_repair.h);
//   - what repair does to single words, each looked up where it was sent: passed as received,
//     repaired right with one or two flips, refused, or repaired WRONG;
//   - frames decoded but never sent (wrong frames), which must stay at zero;
//   - the same words decided by maximum likelihood from the detector's symbols (rtcm/word_trellis.h):
//     at each floor on the margin, the share taken, the wrong ones taken, and how many wrong ones the
//     margins promised (the sum of 1 / (1 + e^margin) over the words taken), which shows whether
//     the margins can be trusted as posterior odds.
// A second table does the same under static at 14 dB, against the burst rate; a third gives the time
// from switch-on to the first right frame against tone and rate; a fourth measures repair on words
// of pure noise, as a locked detector makes them when its beacon has gone.
//
// Usage: coherent_ber [--rate 100|200] [--frames N] [--seeds S] [--first-seed K] [--ebn0 LIST] [--static LIST]
//                     [--first-frame-tones LIST] [--first-frame-ebn0 DB]
//                     [--noise-words N] [--no-blanking] [--hints] [--repair-ceiling C] [--repair-floor F]
//                     [--repair-flips N] [--random-contents] [--rayleigh DOPPLER_HZ]
// Prints markdown tables. The defaults reproduce the tables in the report (minutes on one core).
#include "coherent/enhanced_receiver.h"
#include "measure/reception_trial.h"
#include "rtcm/parity.h"
#include "rtcm/rtcm_decoder.h"
#include "rtcm/rtcm_encoder.h"
#include "rtcm/word_repair.h"
#include "rtcm/word_trellis.h"
#include "signalgen/beacon_audio.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace sondeco;

constexpr double LeadingSeconds = 2.0;
constexpr std::size_t WarmUpFrames = 10;

// A word synchroniser on soft bits, enough to measure with: searches for a header word that passes
// parity exactly (upright or inverted preamble, either D29*), repairs every word after it, follows
// frame lengths from word to word, and drops back to the search when a header word cannot be had.
class SoftFrameDecoder {
public:
    explicit SoftFrameDecoder(const WordRepairLimits& limits) : limits_(limits) {}

    void push(SoftBit bit) {
        window_.push_back(bit);
        if (window_.size() > 30) window_.erase(window_.begin());
        ++bitsSinceWord_;
        if (!inSync_) {
            if (window_.size() == 30) trySync();
            return;
        }
        if (bitsSinceWord_ == 30) takeWord();
    }

    std::vector<RtcmFrame> frames;
    std::uint64_t syncs = 0;

private:
    std::span<const SoftBit, 30> word() const { return std::span<const SoftBit, 30>(window_.data(), 30); }

    void trySync() {
        const int first = window_[0].bit;
        for (int i = 0; i < 8; ++i)
            if ((window_[static_cast<std::size_t>(i)].bit ^ first) != (PreamblePattern[static_cast<std::size_t>(i)] ^ PreamblePattern[0]))
                return;
        const int d30 = first ^ PreamblePattern[0];  // an inverted preamble means D30* was 1
        for (int d29 = 0; d29 < 2; ++d29) {
            WordRepairLimits exact = limits_;
            exact.maximumFlips = 0;
            const RepairedWord header = repairWord(word(), d29, d30, exact);
            if (!header.valid) continue;
            inSync_ = true;
            ++syncs;
            startFrame(header);
            return;
        }
    }

    void startFrame(const RepairedWord& header) {
        frame_ = RtcmFrame{};
        frame_.messageType = static_cast<int>(header.data >> 10 & 63u);
        frame_.stationId = static_cast<int>(header.data & 1023u);
        wordIndex_ = 1;
        frameOk_ = true;
        lastD29_ = header.d29;
        lastD30_ = header.d30;
        bitsSinceWord_ = 0;
    }

    void takeWord() {
        bitsSinceWord_ = 0;
        const RepairedWord repaired = repairWord(word(), lastD29_, lastD30_, limits_);
        lastD29_ = repaired.d29;
        lastD30_ = repaired.d30;
        if (wordIndex_ == 0) {
            if (repaired.valid && (repaired.data >> 16) == RtcmPreamble) {
                startFrame(repaired);
            } else {
                inSync_ = false;
            }
            return;
        }
        if (wordIndex_ == 1) {
            const int zCount = static_cast<int>(repaired.data >> 11);
            if (!repaired.valid || zCount >= 6000) {
                inSync_ = false;
                return;
            }
            frame_.zCount = zCount;
            frame_.sequenceNumber = static_cast<int>(repaired.data >> 8 & 7u);
            frame_.frameLength = static_cast<int>(repaired.data >> 3 & 31u);
            frame_.stationHealth = static_cast<int>(repaired.data & 7u);
        } else {
            if (!repaired.valid) frameOk_ = false;
            // Frames are compared with those sent word by word.
            frame_.dataWords[static_cast<std::size_t>(wordIndex_ - 2)] = repaired.data;
        }
        if (wordIndex_ - 1 == frame_.frameLength) {
            if (frameOk_) frames.push_back(frame_);
            wordIndex_ = 0;  // the next header follows
        } else {
            ++wordIndex_;
        }
    }

    WordRepairLimits limits_;
    std::vector<SoftBit> window_;
    bool inSync_ = false;
    int bitsSinceWord_ = 0;
    int wordIndex_ = 0;
    bool frameOk_ = false;
    std::uint8_t lastD29_ = 0, lastD30_ = 0;
    RtcmFrame frame_;
};

struct WordCounts {
    std::uint64_t words = 0, exact = 0, repairedOne = 0, repairedTwo = 0, refused = 0, wrong = 0, wrongAsReceived = 0, unsureRight = 0,
                  unsureWrong = 0;
    void add(const WordCounts& o) {
        words += o.words, exact += o.exact, repairedOne += o.repairedOne, repairedTwo += o.repairedTwo;
        refused += o.refused, wrong += o.wrong, wrongAsReceived += o.wrongAsReceived;
        unsureRight += o.unsureRight, unsureWrong += o.unsureWrong;
    }
};

// Words decided on the trellis, taken at a floor on the margin.
constexpr std::array<float, 5> MarginFloors{0.0f, 8.0f, 10.0f, 12.0f, 14.0f};
struct MarginCounts {
    std::uint64_t words = 0;
    std::array<std::uint64_t, MarginFloors.size()> taken{}, wrong{};
    std::array<double, MarginFloors.size()> promised{};
    void add(const MarginCounts& o) {
        words += o.words;
        for (std::size_t f = 0; f < MarginFloors.size(); ++f) taken[f] += o.taken[f], wrong[f] += o.wrong[f], promised[f] += o.promised[f];
    }
};

struct PointResult {
    std::uint64_t bits = 0, bitErrors = 0;
    int frames = 0, rightHard = 0, wrongHard = 0, rightRepaired = 0, wrongRepaired = 0;
    WordCounts words;
    MarginCounts margins;
    // Calibration of the reliabilities: bits, wrong bits and the error rate the reliabilities
    // promise, in bins of one unit of log-likelihood ratio (the last bin open-ended).
    static constexpr int Bins = 10;
    std::array<double, Bins> binBits{}, binErrors{}, binPromised{};
    double firstFrameSeconds = -1.0;  // of the repairing decoder, after the beacon came on
    void add(const PointResult& o) {
        bits += o.bits, bitErrors += o.bitErrors, frames += o.frames;
        rightHard += o.rightHard, wrongHard += o.wrongHard, rightRepaired += o.rightRepaired, wrongRepaired += o.wrongRepaired;
        words.add(o.words);
        margins.add(o.margins);
        for (int b = 0; b < Bins; ++b) {
            const auto i = static_cast<std::size_t>(b);
            binBits[i] += o.binBits[i], binErrors[i] += o.binErrors[i], binPromised[i] += o.binPromised[i];
        }
        firstFrameSeconds = std::max(firstFrameSeconds, o.firstFrameSeconds);
    }
};

struct Options {
    std::vector<int> rates{100, 200};
    int frames = 200;
    int seeds = 3;
    int firstSeed = 1;
    std::vector<double> ebN0{3, 4, 5, 5.5, 6, 6.5, 7, 8};
    std::vector<double> staticRates{0.5, 1, 2, 4, 8};
    std::vector<double> firstFrameTones{250, 700, 1234, 2000, 2900, 3450};
    std::vector<int> firstFrameRates{50, 100, 200};
    double firstFrameEbN0 = 12.0;
    double staticEbN0 = 14.0;
    int noiseWords = 1000000;
    bool blanking = true;
    bool hints = false;  // tell the receiver the tone and rate
    bool randomContents = false;  // frames of every type with random data words, not the simulated station's
    double rayleighDopplerHz = 0.0;  // skywave fading of the beacon, Eb/N0 its mean
    WordRepairLimits limits;
};

PointResult runPoint(const Options& options, int rate, double ebN0, double burstsPerSecond, std::uint64_t seed, double toneHz = 1234.0) {
    BeaconSettings station;
    station.bitRate = rate;
    if (options.randomContents) station.randomContentSeed = seed;
    MskSettings transmitter;
    transmitter.bitRate = rate;
    transmitter.centreFrequency = toneHz;  // 1234 Hz unless asked: on no grid a receiver might favour
    transmitter.ebN0Db = ebN0;
    transmitter.noiseSeed = seed;
    transmitter.leadingSeconds = LeadingSeconds;
    transmitter.staticBurstsPerSecond = burstsPerSecond;
    transmitter.rayleighDopplerHz = options.rayleighDopplerHz;
    BeaconAudio audio(station, transmitter, true);

    EnhancedReceiverSettings settings;
    settings.blankImpulses = options.blanking;
    if (options.hints) {
        settings.toneHintHz = transmitter.centreFrequency;
        settings.bitRateHint = rate;
    }
    EnhancedReceiver receiver(settings);
    RtcmDecoder hardDecoder;
    DecodedFrameRecorder hardFrames;
    hardDecoder.addListener(hardFrames);
    SoftFrameDecoder softDecoder(options.limits);

    const std::size_t endCounted = WarmUpFrames + static_cast<std::size_t>(options.frames);
    std::vector<std::int16_t> stereo(2 * 4800);
    std::vector<double> mono(4800);
    std::vector<SoftBit> bits, all;
    double seconds = 0.0;
    std::size_t softFramesSeen = 0;
    PointResult result;
    while (audio.sentFrames().size() < endCounted + 3) {
        audio.render(stereo);
        for (std::size_t n = 0; n < mono.size(); ++n) mono[n] = stereo[2 * n];
        bits.clear();
        receiver.processAudio(mono, bits);
        seconds += 0.1;
        for (const SoftBit& bit : bits) {
            hardDecoder.pushBit(bit.bit);
            softDecoder.push(bit);
        }
        all.insert(all.end(), bits.begin(), bits.end());
        if (result.firstFrameSeconds < 0.0 && softDecoder.frames.size() > softFramesSeen) {
            const auto& sent = audio.sentFrames();
            for (std::size_t f = softFramesSeen; f < softDecoder.frames.size(); ++f)
                for (const BeaconFrame& s : sent)
                    if (sameFrame(softDecoder.frames[f], s) && result.firstFrameSeconds < 0.0)
                        result.firstFrameSeconds = seconds - LeadingSeconds;
            softFramesSeen = softDecoder.frames.size();
        }
    }
    if (std::getenv("COHERENT_BER_VERBOSE")) {
        const auto& st = receiver.statistics();
        std::fprintf(stderr,
                     "rate %d ebn0 %g seed %llu: acquisitions %llu lost %llu gave-up %llu word-restarts %llu impulses %llu tone %.2f\n",
                     rate, ebN0, static_cast<unsigned long long>(seed), static_cast<unsigned long long>(st.acquisitions),
                     static_cast<unsigned long long>(st.beaconsLost), static_cast<unsigned long long>(st.detectorGaveUp),
                     static_cast<unsigned long long>(st.wordLayerRestarts), static_cast<unsigned long long>(st.impulses),
                     receiver.toneHz().value_or(0.0));
    }
    const auto& sent = audio.sentFrames();
    const ReceptionScore hard = scoreReception(hardFrames.frames, sent, WarmUpFrames, endCounted);
    const ReceptionScore soft = scoreReception(softDecoder.frames, sent, WarmUpFrames, endCounted);
    result.frames = options.frames;
    result.rightHard = hard.right, result.wrongHard = hard.wrong;
    result.rightRepaired = soft.right, result.wrongRepaired = soft.wrong;

    // The transmitted stream, to line the soft bits up with: block by block, at the shift with the
    // fewest differences near the last one (the clock may slip; the detector may lose and regain).
    RtcmEncoder encoder;
    std::vector<std::uint8_t> sentBits;
    std::vector<std::size_t> frameStarts;
    for (const BeaconFrame& frame : sent) {
        frameStarts.push_back(sentBits.size());
        encoder.appendFrameBits(frame.header, frame.dataWords, sentBits);
    }
    const auto countedFrom = static_cast<long>(frameStarts[WarmUpFrames]);
    const auto countedTo = static_cast<long>(frameStarts[endCounted]);
    constexpr long Block = 64;
    const auto errorsAt = [&](long start, long shift, long& errors) {
        errors = 0;
        for (long j = start; j < start + Block; ++j) {
            const long k = j - shift;
            if (k < 0 || k >= static_cast<long>(sentBits.size())) return false;
            errors += all[static_cast<std::size_t>(j)].bit != sentBits[static_cast<std::size_t>(k)];
        }
        return true;
    };
    std::vector<long> shiftOfBlock;
    long shift = 0;
    bool haveShift = false;
    for (long start = 0; start + Block <= static_cast<long>(all.size()); start += Block) {
        long best = 0, bestErrors = Block + 1;
        const auto tryRange = [&](long from, long to) {
            for (long s = from; s <= to; ++s) {
                long errors = 0;
                if (errorsAt(start, s, errors) && errors < bestErrors) bestErrors = errors, best = s;
            }
        };
        // Near the last shift a quarter of the bits may be wrong; anywhere else only a few, so that
        // noise (before the beacon, say) never lines up by chance.
        if (haveShift) tryRange(shift - 4, shift + 4);
        if (!haveShift || bestErrors > Block / 4) {
            bestErrors = Block + 1;
            tryRange(start - static_cast<long>(sentBits.size()), start);
            if (bestErrors > Block / 16) bestErrors = Block + 1;
        }
        shiftOfBlock.push_back(bestErrors <= Block / 4 ? best : LONG_MIN);
        if (bestErrors > Block / 4) continue;
        shift = best;
        haveShift = true;
        if (start - best >= countedFrom && start - best + Block <= countedTo) {
            result.bits += Block;
            result.bitErrors += static_cast<std::uint64_t>(bestErrors);
            for (long j = start; j < start + Block; ++j) {
                const SoftBit& bit = all[static_cast<std::size_t>(j)];
                const auto bin = static_cast<std::size_t>(std::min<double>(PointResult::Bins - 1, std::floor(bit.reliability)));
                result.binBits[bin] += 1.0;
                result.binErrors[bin] += bit.bit != sentBits[static_cast<std::size_t>(j - best)];
                result.binPromised[bin] += 1.0 / (1.0 + std::exp(double(bit.reliability)));
            }
        }
    }

    // Every counted word where it was received, repaired with the D29*/D30* the word before left
    // (the first one, and any after a stretch that could not be lined up, with those sent).
    bool havePrevious = false;
    int previousD29 = 0, previousD30 = 0;
    std::vector<std::pair<long, long>> lined;  // (sent position, shift) of every lined-up block
    for (std::size_t b = 0; b < shiftOfBlock.size(); ++b)
        if (shiftOfBlock[b] != LONG_MIN) lined.emplace_back(static_cast<long>(b) * Block - shiftOfBlock[b], shiftOfBlock[b]);
    std::sort(lined.begin(), lined.end());
    for (long k = countedFrom; k + 30 <= countedTo; k += 30) {
        // The shift of the lined-up block that starts nearest before the word.
        const auto after = std::upper_bound(lined.begin(), lined.end(), std::make_pair(k, LONG_MAX));
        const long wordShift = after == lined.begin() ? LONG_MIN : std::prev(after)->second;
        if (wordShift == LONG_MIN || k + wordShift < 0 || k + wordShift + 30 > static_cast<long>(all.size())) {
            havePrevious = false;
            continue;
        }
        const std::span<const SoftBit, 30> received(all.data() + (k + wordShift), 30);
        std::uint32_t sentWord = 0;
        for (long i = 0; i < 30; ++i) sentWord = sentWord << 1 | sentBits[static_cast<std::size_t>(k + i)];
        const int sentD29 = k >= 2 ? sentBits[static_cast<std::size_t>(k - 2)] : 0;
        const int sentD30 = k >= 1 ? sentBits[static_cast<std::size_t>(k - 1)] : 0;
        const RepairedWord word =
            repairWord(received, havePrevious ? previousD29 : sentD29, havePrevious ? previousD30 : sentD30, options.limits);
        const std::uint32_t sentData = ((sentWord >> 6) ^ (sentD30 ? 0xFFFFFFu : 0u)) & 0xFFFFFFu;
        ++result.words.words;
        if (!word.valid) {
            ++result.words.refused;
        } else if (word.data != sentData) {
            ++result.words.wrong;
            if (word.flippedBits == 0) ++result.words.wrongAsReceived;
            if (word.flippedBits == 0 && word.weakestOther < options.limits.othersFloor) ++result.words.unsureWrong;
        } else if (word.flippedBits == 0) {
            ++result.words.exact;
            if (word.weakestOther < options.limits.othersFloor) ++result.words.unsureRight;
        } else if (word.flippedBits == 1) {
            ++result.words.repairedOne;
        } else {
            ++result.words.repairedTwo;
        }
        const long symbolsFrom = k + wordShift - 3;  // the symbol before D29*
        if (symbolsFrom >= 0 && all[static_cast<std::size_t>(symbolsFrom)].hasSymbol()) {
            std::array<float, TrellisSymbolCount> symbols{};
            for (std::size_t i = 0; i < symbols.size(); ++i) symbols[i] = all[static_cast<std::size_t>(symbolsFrom) + i].symbol;
            const TrellisWord decided = decodeWordOnTrellis(symbols);
            ++result.margins.words;
            for (std::size_t f = 0; f < MarginFloors.size(); ++f) {
                if (!(decided.margin >= MarginFloors[f])) continue;
                ++result.margins.taken[f];
                result.margins.wrong[f] += decided.data != sentData;
                result.margins.promised[f] += 1.0 / (1.0 + std::exp(double(decided.margin)));
            }
        }
        havePrevious = true;
        previousD29 = word.d29;
        previousD30 = word.d30;
    }
    if (std::getenv("COHERENT_BER_VERBOSE"))
        std::fprintf(stderr, "  passed as received with a second unsure symbol: %llu right, %llu wrong\n",
                     static_cast<unsigned long long>(result.words.unsureRight), static_cast<unsigned long long>(result.words.unsureWrong));
    return result;
}

// Words of pure noise: random bits with the reliabilities a detector still locked at `staleEbN0`
// gives when its beacon has gone (matched filter outputs of noise alone, scaled by the old signal).
WordCounts noiseWords(const Options& options, double staleEbN0Db, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double snr = 2.0 * std::pow(10.0, staleEbN0Db / 10.0);  // A^2 / sigma^2 per symbol
    const double scale = 2.0 * std::sqrt(snr);  // LLR = 2 A y / sigma^2, y ~ N(0, sigma^2)
    WordCounts counts;
    std::array<SoftBit, 30> word{};
    for (int w = 0; w < options.noiseWords; ++w) {
        double previousLlr = scale * gauss(random);
        for (SoftBit& bit : word) {
            const double llr = scale * gauss(random);
            // The bit joins two symbols: its reliability is about the smaller of theirs.
            const double joined = (llr < 0) != (previousLlr < 0) ? -std::min(std::fabs(llr), std::fabs(previousLlr))
                                                                 : std::min(std::fabs(llr), std::fabs(previousLlr));
            bit = SoftBit{static_cast<std::uint8_t>(joined >= 0 ? 1 : 0), static_cast<float>(std::fabs(joined))};
            previousLlr = llr;
        }
        const auto d29 = static_cast<int>(random() & 1u), d30 = static_cast<int>(random() & 1u);
        const RepairedWord repaired = repairWord(word, d29, d30, options.limits);
        ++counts.words;
        if (!repaired.valid) {
            ++counts.refused;
        } else if (repaired.flippedBits == 0) {
            ++counts.exact;
        } else if (repaired.flippedBits == 1) {
            ++counts.repairedOne;
        } else {
            ++counts.repairedTwo;
        }
    }
    return counts;
}

std::vector<double> parseList(const char* text) {
    std::vector<double> values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) values.push_back(std::atof(item.c_str()));
    return values;
}

double percent(double part, double whole) { return whole > 0 ? 100.0 * part / whole : 0.0; }

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (name == "--rate")
            options.rates = {std::atoi(value)}, ++i;
        else if (name == "--frames")
            options.frames = std::atoi(value), ++i;
        else if (name == "--rayleigh")
            options.rayleighDopplerHz = std::atof(value), ++i;
        else if (name == "--seeds")
            options.seeds = std::atoi(value), ++i;
        else if (name == "--first-seed")
            options.firstSeed = std::atoi(value), ++i;
        else if (name == "--ebn0")
            options.ebN0 = parseList(value), ++i;
        else if (name == "--static")
            options.staticRates = parseList(value), ++i;
        else if (name == "--noise-words")
            options.noiseWords = std::atoi(value), ++i;
        else if (name == "--first-frame-tones")
            options.firstFrameTones = parseList(value), ++i;
        else if (name == "--first-frame-ebn0")
            options.firstFrameEbN0 = std::atof(value), ++i;
        else if (name == "--no-blanking")
            options.blanking = false;
        else if (name == "--hints")
            options.hints = true;
        else if (name == "--random-contents")
            options.randomContents = true;
        else if (name == "--repair-ceiling")
            options.limits.reliabilityCeiling = static_cast<float>(std::atof(value)), ++i;
        else if (name == "--repair-floor")
            options.limits.othersFloor = static_cast<float>(std::atof(value)), ++i;
        else if (name == "--repair-flips")
            options.limits.maximumFlips = std::atoi(value), ++i;
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    std::printf(
        "Repair limits: up to %d flips (D1 or D30 alone, or neighbouring pairs), the symbol taken for wrong below %.2f, "
        "every other bit at least %.2f\n\n",
        options.limits.maximumFlips, double(options.limits.reliabilityCeiling), double(options.limits.othersFloor));

    std::vector<std::pair<std::string, MarginCounts>> marginRows;
    const auto table = [&](const char* title, const std::vector<double>& points, bool isStatic) {
        std::printf("%s\n\n", title);
        std::printf(
            "| rate | %s | bit errors | ideal | frames hard | frames repaired | wrong frames (hard / repaired) | words exact / 1 flip / 2 "
            "flips / refused | wrong words (as received) | first frame (s) |\n",
            isStatic ? "bursts/s" : "Eb/N0 dB");
        std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        for (int rate : options.rates) {
            for (double point : points) {
                PointResult total;
                for (int seed = options.firstSeed; seed < options.firstSeed + options.seeds; ++seed)
                    total.add(runPoint(options, rate, isStatic ? options.staticEbN0 : point, isStatic ? point : 0.0,
                                       static_cast<std::uint64_t>(seed)));
                const double ebN0 = isStatic ? options.staticEbN0 : point;
                const double ideal = std::erfc(std::sqrt(std::pow(10.0, ebN0 / 10.0)));  // 2 Q(sqrt(2 Eb/N0))
                const auto& w = total.words;
                if (!isStatic) marginRows.emplace_back(std::to_string(rate) + " | " + std::to_string(point).substr(0, 4), total.margins);
                std::printf(
                    "| %d | %g | %.2e | %.2e | %.1f %% | %.1f %% | %d / %d | %.1f / %.2f / %.2f / %.2f %% | %llu (%llu) of %llu | %.1f |\n",
                    rate, point, total.bits ? double(total.bitErrors) / double(total.bits) : 0.0, ideal,
                    percent(total.rightHard, total.frames), percent(total.rightRepaired, total.frames), total.wrongHard,
                    total.wrongRepaired, percent(double(w.exact), double(w.words)), percent(double(w.repairedOne), double(w.words)),
                    percent(double(w.repairedTwo), double(w.words)), percent(double(w.refused), double(w.words)),
                    static_cast<unsigned long long>(w.wrong), static_cast<unsigned long long>(w.wrongAsReceived),
                    static_cast<unsigned long long>(w.words), total.firstFrameSeconds);
                if (std::getenv("COHERENT_BER_CALIBRATION")) {
                    std::printf("|   | reliability: bits, error rate measured / promised |");
                    for (int b = 0; b < PointResult::Bins; ++b) {
                        const auto i = static_cast<std::size_t>(b);
                        if (total.binBits[i] > 0)
                            std::printf(" %d: %.0f, %.2e / %.2e;", b, total.binBits[i], total.binErrors[i] / total.binBits[i],
                                        total.binPromised[i] / total.binBits[i]);
                    }
                    std::printf("\n");
                }
                std::fflush(stdout);
            }
        }
        std::printf("\n");
    };
    if (!options.ebN0.empty()) {
        table("Against Eb/N0", options.ebN0, false);
        std::printf(
            "Words by maximum likelihood from the symbols: at each floor on the margin, taken, wrong taken (promised)\n\n| rate | Eb/N0 dB "
            "| words |");
        for (const float floor : MarginFloors) std::printf(" floor %.0f |", double(floor));
        std::printf("\n|---:|---:|---:|");
        for (std::size_t f = 0; f < MarginFloors.size(); ++f) std::printf("---:|");
        std::printf("\n");
        for (const auto& [point, m] : marginRows) {
            std::printf("| %s | %llu |", point.c_str(), static_cast<unsigned long long>(m.words));
            for (std::size_t f = 0; f < MarginFloors.size(); ++f)
                std::printf(" %.1f %%, %llu (%.2f) |", percent(double(m.taken[f]), double(m.words)),
                            static_cast<unsigned long long>(m.wrong[f]), m.promised[f]);
            std::printf("\n");
        }
        std::printf("\n");
    }
    if (!options.staticRates.empty()) {
        char title[96];
        std::snprintf(title, sizeof title, "Static (2 ms bursts 30 dB above the signal) at %.0f dB", options.staticEbN0);
        table(title, options.staticRates, true);
    }
    if (!options.firstFrameTones.empty()) {
        // From switch-on, no hints: seconds from the beacon's first bit to the first frame right
        // (worst of the seeds), against tone and rate.
        std::printf("Time to the first right frame at %g dB, no hints (worst of %d signals)\n\n| tone Hz |", options.firstFrameEbN0,
                    options.seeds);
        for (int rate : options.firstFrameRates) std::printf(" %d bit/s |", rate);
        std::printf("\n|---:|");
        for (std::size_t r = 0; r < options.firstFrameRates.size(); ++r) std::printf("---:|");
        std::printf("\n");
        Options quick = options;
        quick.frames = 3;
        for (double tone : options.firstFrameTones) {
            std::printf("| %g |", tone);
            for (int rate : options.firstFrameRates) {
                double worst = 0.0;
                for (int seed = 1; seed <= options.seeds; ++seed) {
                    const PointResult result = runPoint(quick, rate, options.firstFrameEbN0, 0.0, static_cast<std::uint64_t>(seed), tone);
                    worst = result.firstFrameSeconds < 0.0 ? 1e9 : std::max(worst, result.firstFrameSeconds);
                    if (worst >= 1e9) break;
                }
                if (worst >= 1e9)
                    std::printf(" none |");
                else
                    std::printf(" %.1f |", worst);
                std::fflush(stdout);
            }
            std::printf("\n");
        }
        std::printf("\n");
    }
    if (options.noiseWords > 0) {
        std::printf(
            "Words of pure noise (%d a row): valid after repair\n\n| stale Eb/N0 dB | as received | 1 flip | 2 flips "
            "|\n|---:|---:|---:|---:|\n",
            options.noiseWords);
        for (double stale : {4.0, 8.0, 14.0}) {
            const WordCounts c = noiseWords(options, stale, 99);
            std::printf("| %g | %.3f %% | %.3f %% | %.3f %% |\n", stale, percent(double(c.exact), double(c.words)),
                        percent(double(c.repairedOne), double(c.words)), percent(double(c.repairedTwo), double(c.words)));
        }
    }
    return 0;
}
