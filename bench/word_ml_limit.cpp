// SPDX-License-Identifier: GPL-3.0-or-later
// The limits a receiver's words are measured against: ideal coherent MSK (perfect carrier, clock and
// word synchronisation, symbol log-likelihood ratios exact) decided three ways, word by word:
//   hard   the bits from the symbol signs, taken when they pass parity (no repair),
//   ml     the likeliest word on the trellis (rtcm/word_trellis.h), always taken,
//   floor  the likeliest word, taken when its margin reaches the word layer's floor.
// For each, the share of frames of `--words` words (17: the mean of random contents, 510 bits) whose
// words are all taken and right, and the wrong words taken per million words (a frame with one is a
// wrong frame). With --floor-table, the floor's frames right and wrong words at each of several floors;
// with --json, one line a point of the shares of words (for bench/sensitivity.py, which raises them
// to the power of its own frame lengths).
//   word_ml_limit [--from 2] [--to 8] [--step 0.5] [--words-per-point 200000] [--words 17] [--floor-table | --json]
#include "rtcm/parity.h"
#include "rtcm/word_layer.h"
#include "rtcm/word_trellis.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

using sondeco::TrellisSymbolCount;

struct Counts {
    long long right = 0;  // taken and right
    long long wrong = 0;  // taken and wrong
};

double frameShare(const Counts& counts, long long words, int frameWords) {
    return std::pow(static_cast<double>(counts.right) / static_cast<double>(words), frameWords);
}

}  // namespace

int main(int argc, char** argv) {
    double from = 2.0, to = 8.0, step = 0.5;
    long long wordsPerPoint = 200000;
    int frameWords = 17;
    bool floorTable = false, json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&] {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "word_ml_limit: %s needs a value\n", option.c_str());
                std::exit(2);
            }
            return std::atof(argv[++i]);
        };
        if (option == "--from")
            from = value();
        else if (option == "--to")
            to = value();
        else if (option == "--step")
            step = value();
        else if (option == "--words-per-point")
            wordsPerPoint = static_cast<long long>(value());
        else if (option == "--words")
            frameWords = static_cast<int>(value());
        else if (option == "--floor-table")
            floorTable = true;
        else if (option == "--json")
            json = true;
        else {
            std::fprintf(
                stderr,
                "usage: word_ml_limit [--from DB] [--to DB] [--step DB] [--words-per-point N] [--words N] [--floor-table | --json]\n");
            return 2;
        }
    }
    const std::array<float, 6> floors{6.0f, 8.0f, 10.0f, 12.0f, 14.0f, 16.0f};
    if (json) {
        // no heading
    } else if (floorTable) {
        std::printf("Eb/N0");
        for (const float floor : floors) std::printf(" | floor %.0f: frames right, wrong words per million", static_cast<double>(floor));
    } else {
        std::printf(
            "Eb/N0 | hard: frames right | ml: frames right, wrong words per million | floor %.0f: frames right, wrong words per million",
            static_cast<double>(sondeco::WordLayer::MinimumWordMargin));
    }
    if (!json) std::printf("\n");
    std::mt19937_64 random(1);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    for (double ebN0Db = from; ebN0Db <= to + 1e-9; ebN0Db += step) {
        // Each symbol carries one bit's energy; its log-likelihood ratio is 4 Eb/N0 +- sqrt(8 Eb/N0).
        const double ebN0 = std::pow(10.0, ebN0Db / 10.0);
        const auto mean = static_cast<float>(4.0 * ebN0), spread = static_cast<float>(std::sqrt(8.0 * ebN0));
        Counts hard, ml, floored;
        std::array<Counts, floors.size()> byFloor{};
        for (long long n = 0; n < wordsPerPoint; ++n) {
            const auto data = static_cast<std::uint32_t>(random() & 0xFFFFFFu);
            const auto d29Star = static_cast<int>(random() & 1u), d30Star = static_cast<int>(random() & 1u);
            const std::uint32_t sent = (d30Star != 0 ? data ^ 0xFFFFFFu : data) << 6 | sondeco::parityBits(data, d29Star, d30Star);
            const std::uint32_t window = static_cast<std::uint32_t>(d29Star) << 31 | static_cast<std::uint32_t>(d30Star) << 30 | sent;
            std::array<float, TrellisSymbolCount> symbols{};
            float sign = 1.0f;
            symbols[0] = mean + spread * gauss(random);
            for (int j = 0; j < TrellisSymbolCount - 1; ++j) {
                if ((window >> (31 - j) & 1u) == 0) sign = -sign;
                symbols[static_cast<std::size_t>(j) + 1] = sign * mean + spread * gauss(random);
            }
            std::uint32_t decided = 0;
            for (std::size_t i = 1; i < symbols.size(); ++i)
                decided = decided << 1 | ((symbols[i] > 0.0f) == (symbols[i - 1] > 0.0f) ? 1u : 0u);
            const std::uint32_t received = decided & 0x3FFFFFFFu;
            const auto hardD29 = static_cast<int>(decided >> 31), hardD30 = static_cast<int>(decided >> 30 & 1u);
            const std::uint32_t hardData = (received >> 6) ^ (hardD30 != 0 ? 0xFFFFFFu : 0u);
            if (sondeco::parityBits(hardData, hardD29, hardD30) == (received & 0x3Fu)) (hardData == data ? hard.right : hard.wrong)++;
            const sondeco::TrellisWord word = sondeco::decodeWordOnTrellis(symbols);
            const bool right = word.data == data;
            (right ? ml.right : ml.wrong)++;
            if (word.margin >= sondeco::WordLayer::MinimumWordMargin) (right ? floored.right : floored.wrong)++;
            for (std::size_t f = 0; f < floors.size(); ++f)
                if (word.margin >= floors[f]) (right ? byFloor[f].right : byFloor[f].wrong)++;
        }
        const auto perMillion = [&](const Counts& counts) {
            return 1e6 * static_cast<double>(counts.wrong) / static_cast<double>(wordsPerPoint);
        };
        const auto wordShare = [&](const Counts& counts) { return static_cast<double>(counts.right) / static_cast<double>(wordsPerPoint); };
        if (json) {
            std::printf("{\"ebn0\":%.2f,\"hard\":%.7f,\"ml\":%.7f,\"floor\":%.7f,\"ml_wrong\":%.3g,\"floor_wrong\":%.3g}\n", ebN0Db,
                        wordShare(hard), wordShare(ml), wordShare(floored), perMillion(ml) / 1e6, perMillion(floored) / 1e6);
            std::fflush(stdout);
            continue;
        }
        std::printf("%.1f", ebN0Db);
        if (floorTable) {
            for (const Counts& counts : byFloor)
                std::printf(" | %.1f %% %.2f", 100.0 * frameShare(counts, wordsPerPoint, frameWords), perMillion(counts));
        } else {
            std::printf(" | %.1f %% | %.1f %% %.1f | %.1f %% %.2f", 100.0 * frameShare(hard, wordsPerPoint, frameWords),
                        100.0 * frameShare(ml, wordsPerPoint, frameWords), perMillion(ml),
                        100.0 * frameShare(floored, wordsPerPoint, frameWords), perMillion(floored));
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
