// SPDX-License-Identifier: GPL-3.0-or-later
// The spectrum indicator: window bookkeeping, the transform, levels, and the pixels of the picture.
#include "display/scan_line_canvas.h"
#include "display/signal_indicator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>

namespace {

using sondeco::SignalIndicator;
using Buffer = std::array<double, SignalIndicator::BufferLength>;
namespace display = sondeco::display;

constexpr double TwoPi = 2.0 * std::numbers::pi;

Buffer constantBuffer(double value) {
    Buffer buffer;
    buffer.fill(value);
    return buffer;
}

// 1700 Hz at 4800 Hz makes exactly 170 cycles a buffer, so the same buffer repeated is a steady tone.
Buffer centreTone(double amplitude) {
    Buffer buffer;
    for (int n = 0; n < SignalIndicator::BufferLength; ++n) buffer[std::size_t(n)] = amplitude * std::cos(TwoPi * 1700.0 * n / 4800.0);
    return buffer;
}

bool inTag(int x, int y) { return x >= 62 && x <= 82 && y >= 2 && y <= 8; }

// Rows 2..8 of the tag, x = 62..82: '#' black, '.' green.
const char* const Tag200[7] = {
    ".....................", "..#####.#####.#####..", "......#.#...#.#...#..", "..#####.#...#.#...#..",
    "..#.....#...#.#...#..", "..#####.#####.#####..", ".....................",
};
const char* const Tag100[7] = {
    ".....................", "....#...#####.#####..", "....#...#...#.#...#..", "....#...#...#.#...#..",
    "....#...#...#.#...#..", "....#...#####.#####..", ".....................",
};

void expectTag(const QImage& bitmap, const char* const (&rows)[7]) {
    for (int y = 2; y <= 8; ++y)
        for (int x = 62; x <= 82; ++x) {
            const QRgb expected = rows[y - 2][x - 62] == '#' ? display::Black : display::BarGreen;
            EXPECT_EQ(bitmap.pixel(x, y), expected) << "tag pixel " << x << "," << y;
        }
}

// Silence: black everywhere except dotted grey guides in exactly the given columns and the tag.
void expectQuietPicture(const QImage& bitmap, int guideA, int guideB) {
    for (int x = 0; x < bitmap.width(); ++x) {
        int grey = 0;
        for (int y = 0; y < bitmap.height(); ++y) {
            const QRgb pixel = bitmap.pixel(x, y);
            grey += !inTag(x, y) && pixel == display::GuideGrey;
            ASSERT_TRUE(inTag(x, y) || pixel == display::GuideGrey || pixel == display::Black) << x << "," << y;
        }
        const bool dotted = grey > 6 && grey < 18;
        EXPECT_TRUE(x == guideA || x == guideB ? dotted : grey == 0) << "column " << x << ": " << grey << " grey";
    }
}

TEST(SignalIndicator, SilenceShowsGuidesAndTagOfEachBitRate) {
    SignalIndicator indicator;
    QImage bitmap = SignalIndicator::makeBitmap();
    const uchar* pixels = bitmap.constBits();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(indicator.drawSignalIndicator(bitmap, constantBuffer(0.0), true));
    for (double level : indicator.levels()) ASSERT_EQ(level, 0.0);
    expectQuietPicture(bitmap, 38, 48);
    expectTag(bitmap, Tag200);

    // The bit rate takes effect on the very next buffer.
    indicator.drawSignalIndicator(bitmap, constantBuffer(0.0), false);
    expectQuietPicture(bitmap, 40, 45);
    expectTag(bitmap, Tag100);
    EXPECT_EQ(bitmap.constBits(), pixels) << "the caller's bitmap is drawn in place";
}

TEST(SignalIndicator, WindowHoldsNewestBufferFirst) {
    SignalIndicator indicator;
    QImage bitmap = SignalIndicator::makeBitmap();
    for (double value : {1.0, 2.0, 3.0}) indicator.drawSignalIndicator(bitmap, constantBuffer(value), true);
    const auto& window = indicator.SpectrumWindow();
    for (int i = 0; i < 1024; ++i) {
        const double expected = i < 480 ? 3.0 : i < 960 ? 2.0 : 1.0;
        ASSERT_EQ(window[std::size_t(i)], expected) << "entry " << i;
    }
}

TEST(SignalIndicator, TransformMatchesDirectDftInBitReversedOrder) {
    SignalIndicator indicator;
    std::minstd_rand random(7);
    std::uniform_real_distribution<double> value(-1000.0, 1000.0);
    std::array<double, 1024> re, im;
    std::array<std::complex<double>, 1024> input;
    for (std::size_t n = 0; n < 1024; ++n) {
        re[n] = value(random);
        im[n] = value(random);
        input[n] = {re[n], im[n]};
    }
    indicator.transform(re, im);
    for (int k = 0; k < 1024; ++k) {
        int reversed = 0;
        for (int bit = 0; bit < 10; ++bit) reversed |= ((k >> bit) & 1) << (9 - bit);
        ASSERT_EQ(indicator.bitReversal(k), reversed);
        std::complex<double> expected;
        for (int n = 0; n < 1024; ++n)
            expected += input[std::size_t(n)] * std::polar(1.0, -TwoPi * double((long(reversed) * n) % 1024) / 1024.0);
        EXPECT_NEAR(re[std::size_t(k)], expected.real(), 1e-7) << "output " << k;
        EXPECT_NEAR(im[std::size_t(k)], expected.imag(), 1e-7) << "output " << k;
    }
}

TEST(SignalIndicator, BinWithExactlyZeroPartHasLevelZero) {
    // A constant signal: the DC bin's real part is huge but its imaginary part is exactly zero.
    SignalIndicator indicator;
    QImage bitmap = SignalIndicator::makeBitmap();
    for (int i = 0; i < 3; ++i) indicator.drawSignalIndicator(bitmap, constantBuffer(1000.0), true);
    EXPECT_EQ(indicator.levels()[0], 0.0);
    EXPECT_GT(indicator.levels()[1], 200.0) << "the window's leakage into bin 1 is large";
}

TEST(SignalIndicator, CentreTonePeaksInColumns42And43) {
    SignalIndicator indicator;
    QImage bitmap = SignalIndicator::makeBitmap();
    for (int i = 0; i < 3; ++i) indicator.drawSignalIndicator(bitmap, centreTone(1000.0), true);

    auto barTop = [&](int x) {
        int y = 0;
        while (y < bitmap.height() && bitmap.pixel(x, y) != display::BarGreen) ++y;
        return y;
    };
    const int peak = std::min(barTop(42), barTop(43));
    ASSERT_LT(peak, bitmap.height());
    for (int x = 0; x < 61; ++x)
        if (x != 42 && x != 43) {
            EXPECT_GT(barTop(x), peak) << "column " << x;
        }
}

TEST(SignalIndicator, BarsRunFromBottomEdgeToTheirTopRow) {
    // Noise plus a strong tone gives bars of every height, some clipped at the top, many absent.
    SignalIndicator indicator;
    QImage bitmap = SignalIndicator::makeBitmap();
    std::minstd_rand random(3);
    std::normal_distribution<double> noise(0.0, 20.0);
    for (int i = 0; i < 4; ++i) {
        Buffer buffer = centreTone(20000.0);
        for (double& x : buffer) x += noise(random);
        indicator.drawSignalIndicator(bitmap, buffer, false);
    }
    const auto& levels = indicator.levels();
    int clipped = 0, empty = 0, partial = 0;
    for (int x = 0; x < 85; ++x) {
        const double level = std::max(levels[std::size_t(277 + 2 * x)], levels[std::size_t(278 + 2 * x)]);
        const int top = 24 - int(level / 6.0) + 20;  // inclusive; 24 and below means no bar
        clipped += top <= 0;
        empty += top >= 24;
        partial += top > 0 && top < 24;
        for (int y = 0; y < 24; ++y) {
            if (inTag(x, y)) continue;
            const bool green = bitmap.pixel(x, y) == display::BarGreen;
            ASSERT_EQ(green, y >= top) << "column " << x << " row " << y << " level " << level;
        }
    }
    EXPECT_GT(clipped, 0);
    EXPECT_GT(empty, 0);
    EXPECT_GT(partial, 0);
}

TEST(SignalIndicator, RateLabelIsClippedAtTheEdges) {
    QImage bitmap = SignalIndicator::makeBitmap();
    sondeco::drawRateLabel(std::array<std::uint8_t, 3>{2, 0, 9}, 70, 20, bitmap, display::BarGreen);
    EXPECT_EQ(bitmap.pixel(73, 22), display::Black) << "top stroke of the 2";
    EXPECT_EQ(bitmap.pixel(84, 23), display::BarGreen) << "a code without a glyph leaves its cell solid";
}

}  // namespace
