// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/word_trellis.h"

#include "rtcm/parity.h"

#include <array>
#include <limits>

namespace sondeco {
namespace {

constexpr int WindowBits = TrellisSymbolCount - 1;  // D29*, D30*, D1..D30
constexpr int DataBits = 24;
constexpr int Syndromes = 64;
constexpr int States = Syndromes * 2;  // syndrome so far, and the last symbol (0: +1, 1: -1)
constexpr float Impossible = -std::numeric_limits<float>::infinity();

constexpr std::array<std::uint8_t, WindowBits> WindowColumns = windowSyndromeColumns();

// The two likeliest paths into a state (distinct paths: the list Viterbi algorithm with a list of two).
struct Survivors {
    float best = Impossible;
    float second = Impossible;
};

}  // namespace

TrellisWord decodeWordOnTrellis(std::span<const float, TrellisSymbolCount> symbols) {
    std::array<Survivors, States> now{}, next{};
    // For the backtrack: the last symbol of the best path into each state, step by step.
    std::array<std::array<std::uint8_t, States>, WindowBits> cameFrom{};

    // A path's metric is the sum of x * L / 2 over its symbols (x = +-1): its log-likelihood but for
    // a constant, so metrics differ by |L| for each symbol two paths disagree on.
    now[0].best = symbols[0] / 2.0f;
    now[1].best = -symbols[0] / 2.0f;
    for (int j = 0; j < WindowBits; ++j) {
        const float half = symbols[static_cast<std::size_t>(j) + 1] / 2.0f;
        const std::uint8_t column = WindowColumns[static_cast<std::size_t>(j)];
        for (int state = 0; state < States; ++state) {
            const int syndrome = state >> 1, symbol = state & 1;
            const float gain = symbol == 0 ? half : -half;
            // From the same symbol the bit is 1 (its column joins the syndrome), from the other 0.
            const Survivors& same = now[static_cast<std::size_t>((syndrome ^ column) << 1 | symbol)];
            const Survivors& other = now[static_cast<std::size_t>(syndrome << 1 | (symbol ^ 1))];
            Survivors& into = next[static_cast<std::size_t>(state)];
            const bool sameLeads = same.best >= other.best;
            const Survivors& leader = sameLeads ? same : other;
            const Survivors& follower = sameLeads ? other : same;
            into.best = leader.best + gain;
            into.second = std::max(leader.second, follower.best) + gain;
            cameFrom[static_cast<std::size_t>(j)][static_cast<std::size_t>(state)] =
                static_cast<std::uint8_t>(sameLeads ? symbol : symbol ^ 1);
        }
        std::swap(now, next);
    }

    // Paths ending on syndrome 0 are the code words. A path and its inverse (every symbol the
    // other way) give the same bits: the inverse of the best path is not a rival.
    const Survivors& plus = now[0];
    const Survivors& minus = now[1];
    int symbol = plus.best >= minus.best ? 0 : 1;
    const Survivors& winner = symbol == 0 ? plus : minus;
    const Survivors& loser = symbol == 0 ? minus : plus;
    const float best = winner.best;
    float rival = winner.second;
    for (const float candidate : {loser.best, loser.second})
        if (candidate != -best) rival = std::max(rival, candidate);

    TrellisWord word;
    word.margin = rival == Impossible ? std::numeric_limits<float>::infinity() : best - rival;
    std::uint32_t window = 0;
    int syndrome = 0;
    for (int j = WindowBits - 1; j >= 0; --j) {
        const int previous = cameFrom[static_cast<std::size_t>(j)][static_cast<std::size_t>(syndrome << 1 | symbol)];
        const bool one = previous == symbol;
        if (one) {
            window |= 1u << (WindowBits - 1 - j);
            syndrome ^= WindowColumns[static_cast<std::size_t>(j)];
        }
        symbol = previous;
    }
    word.previousD29 = static_cast<std::uint8_t>(window >> 31 & 1u);
    word.previousD30 = static_cast<std::uint8_t>(window >> 30 & 1u);
    word.received = window & ((1u << 30) - 1);
    word.data = word.received >> 6;
    if (word.previousD30 != 0) word.data ^= (1u << DataBits) - 1;
    word.d29 = static_cast<std::uint8_t>(window >> 1 & 1u);
    word.d30 = static_cast<std::uint8_t>(window & 1u);
    return word;
}

}  // namespace sondeco
