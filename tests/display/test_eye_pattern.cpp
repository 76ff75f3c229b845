// SPDX-License-Identifier: GPL-3.0-or-later
// The eye pattern: sweep starts, vertical and horizontal scale, clipping, and the stored history.
#include "display/eye_pattern.h"
#include "display/scan_line_canvas.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace {

using sondeco::EyePattern;
using Trace = std::array<double, EyePattern::BufferLength>;
using Marks = std::array<std::uint8_t, EyePattern::BufferLength>;
namespace display = sondeco::display;

Trace constantTrace(double hertz) {
    Trace trace;
    trace.fill(hertz);
    return trace;
}

Marks marksEvery(int spacing) {
    Marks marks{};
    for (int n = 0; n < EyePattern::BufferLength; n += spacing) marks[std::size_t(n)] = 1;
    return marks;
}

bool isGuide(int x, int y) { return y == 25 || y == 75 || y == 125 || x == 96; }

// Black and the four dotted grey guides only.
void expectOnlyGuides(const QImage& bitmap) {
    int grey = 0;
    for (int y = 0; y < bitmap.height(); ++y)
        for (int x = 0; x < bitmap.width(); ++x) {
            const QRgb pixel = bitmap.pixel(x, y);
            grey += pixel == display::GuideGrey;
            ASSERT_TRUE(pixel == display::Black || (pixel == display::GuideGrey && isGuide(x, y))) << x << "," << y;
        }
    EXPECT_NEAR(grey, (3 * 192 + 150) / 2, 20) << "half of every guide is lit";
}

std::set<int> whiteRows(const QImage& bitmap) {
    std::set<int> rows;
    for (int y = 0; y < bitmap.height(); ++y)
        for (int x = 0; x < bitmap.width(); ++x)
            if (bitmap.pixel(x, y) == display::TraceWhite) rows.insert(y);
    return rows;
}

void expectWhiteAcrossRow(const QImage& bitmap, int y, int fromX, int toX) {
    for (int x = fromX; x <= toX; ++x) ASSERT_EQ(bitmap.pixel(x, y), display::TraceWhite) << x << "," << y;
}

TEST(EyePattern, NoSweepBeforeTheSecondMark) {
    EyePattern eye;
    QImage bitmap = EyePattern::makeBitmap();
    ASSERT_TRUE(eye.drawEyePattern(bitmap, constantTrace(30.0), Marks{}, 4, 1.0));
    expectOnlyGuides(bitmap);
    Marks one{};
    one[100] = 1;
    eye.drawEyePattern(bitmap, constantTrace(30.0), one, 4, 1.0);
    expectOnlyGuides(bitmap);
    eye.drawEyePattern(bitmap, constantTrace(30.0), Marks{}, 4, 1.0);
    expectOnlyGuides(bitmap);
    // The second mark, two buffers later, starts the first sweep.
    eye.drawEyePattern(bitmap, constantTrace(30.0), one, 4, 1.0);
    EXPECT_EQ(whiteRows(bitmap), std::set<int>{45});
}

TEST(EyePattern, NominalDeviationLandsOnTheOuterGuides) {
    struct Case {
        double hertz;
        int bitSamples, spacing;
        double scale;
        int row;
    };
    for (const Case& c :
         {Case{50.0, 24, 4, 1.0, 25}, Case{-50.0, 24, 4, 1.0, 125}, Case{25.0, 48, 2, 2.0, 25}, Case{-25.0, 48, 2, 2.0, 125}}) {
        SCOPED_TRACE(c.hertz);
        EyePattern eye;
        QImage bitmap = EyePattern::makeBitmap();
        eye.drawEyePattern(bitmap, constantTrace(c.hertz), marksEvery(c.bitSamples), c.spacing, c.scale);
        EXPECT_EQ(whiteRows(bitmap), std::set<int>{c.row});
        expectWhiteAcrossRow(bitmap, c.row, 0, 191);
    }
}

TEST(EyePattern, CountersCarryAcrossRowsButNoSegmentJoinsThem) {
    // Two marks near the end of one buffer start a sweep at +50 Hz that runs on into the next buffer
    // at -50 Hz. The next buffer's first sample takes the place of the previous buffer's last one.
    EyePattern eye;
    QImage bitmap = EyePattern::makeBitmap();
    Marks late{};
    late[460] = late[461] = 1;
    eye.drawEyePattern(bitmap, constantTrace(50.0), late, 4, 1.0);
    eye.drawEyePattern(bitmap, constantTrace(-50.0), Marks{}, 4, 1.0);
    expectWhiteAcrossRow(bitmap, 25, 0, 71);
    expectWhiteAcrossRow(bitmap, 125, 72, 191);
    EXPECT_EQ(whiteRows(bitmap), (std::set<int>{25, 125}));

    // With one mark in each of two buffers, the count carries over and the second one starts a sweep.
    EyePattern split;
    Marks single{};
    single[470] = 1;
    split.drawEyePattern(bitmap, constantTrace(0.0), single, 4, 1.0);
    single[470] = 0;
    single[5] = 1;
    split.drawEyePattern(bitmap, constantTrace(10.0), single, 4, 1.0);
    EXPECT_EQ(whiteRows(bitmap), std::set<int>{65});
}

TEST(EyePattern, OffscreenTraceIsClipped) {
    EyePattern eye;
    QImage bitmap = EyePattern::makeBitmap();
    eye.drawEyePattern(bitmap, constantTrace(80.0), marksEvery(24), 4, 1.0);  // y = -5
    expectOnlyGuides(bitmap);

    // Values between 75 and 76 Hz truncate toward zero onto the top row.
    eye.drawEyePattern(bitmap, constantTrace(75.5), marksEvery(24), 4, 1.0);
    EXPECT_EQ(whiteRows(bitmap), std::set<int>{0});

    // Wild swings, infinities and NaN draw steep lines through the picture, never outside it.
    Trace wild;
    for (int n = 0; n < EyePattern::BufferLength; ++n) wild[std::size_t(n)] = n % 3 == 0 ? std::nan("") : n % 3 == 1 ? -1e300 : 3000.0;
    eye.drawEyePattern(bitmap, wild, marksEvery(7), 4, 1.0);
    EXPECT_TRUE(eye.drawEyePattern(bitmap, wild, marksEvery(3), -1000000000, 1e300));
}

TEST(EyePattern, BitRateSwitchRescalesStoredHistory) {
    EyePattern eye;
    QImage bitmap = EyePattern::makeBitmap();
    for (int i = 0; i < 2; ++i) eye.drawEyePattern(bitmap, constantTrace(25.0), marksEvery(24), 4, 1.0);
    EXPECT_EQ(whiteRows(bitmap), std::set<int>{50});
    expectWhiteAcrossRow(bitmap, 50, 0, 191);

    // At 100 bit/s the two older buffers come out twice as tall and half as wide: +25 Hz now on the
    // upper guide, the old 24-sample sweeps ending halfway across. The new silent buffer continues
    // the last sweep on the centre line.
    eye.drawEyePattern(bitmap, constantTrace(0.0), Marks{}, 2, 2.0);
    EXPECT_EQ(whiteRows(bitmap), (std::set<int>{25, 75}));
    expectWhiteAcrossRow(bitmap, 25, 0, 95);
    EXPECT_NE(bitmap.pixel(150, 25), display::TraceWhite);
    expectWhiteAcrossRow(bitmap, 75, 46, 191);
    EXPECT_EQ(eye.EyeHistory()[0].trace[0], 25.0);
    EXPECT_EQ(eye.EyeHistory()[2].trace[0], 0.0);
}

}  // namespace
