// SPDX-License-Identifier: GPL-3.0-or-later
// The line primitive under both displays: the end-point rule and clipping of far-off points.
#include "display/scan_line_canvas.h"

#include <gtest/gtest.h>

namespace {

namespace display = sondeco::display;

int countWhite(const QImage& bitmap) {
    int count = 0;
    for (int y = 0; y < bitmap.height(); ++y)
        for (int x = 0; x < bitmap.width(); ++x) count += bitmap.pixel(x, y) == display::TraceWhite;
    return count;
}

TEST(ScanLineCanvas, EndPointRuleAndClipping) {
    QImage bitmap(20, 10, QImage::Format_RGB888);
    bitmap.fill(Qt::black);
    display::ScanLineCanvas canvas(bitmap);
    canvas.drawLine(2, 1, 6, 3, display::TraceWhite);
    canvas.drawLine(12, 4, 12, 4, display::TraceWhite);  // empty: draws nothing
    EXPECT_EQ(countWhite(bitmap), 4);
    EXPECT_EQ(bitmap.pixel(2, 1), display::TraceWhite);
    EXPECT_EQ(bitmap.pixel(6, 3), display::Black);
    canvas.drawLine(10, 9, 10, 5, display::TraceWhite, display::LineStyle::Solid, display::LineEnd::Included);
    EXPECT_EQ(countWhite(bitmap), 4 + 5);

    // Lines from far outside: only their visible part is drawn, and in the right place.
    bitmap.fill(Qt::black);
    canvas.drawLine(-2000000000, 5, 2000000000, 5, display::TraceWhite);
    canvas.drawLine(0, -10000000, 19, 9, display::TraceWhite, display::LineStyle::Solid, display::LineEnd::Included);
    EXPECT_EQ(countWhite(bitmap), 20 + 10 - 1);
    for (int y = 0; y < 10; ++y) EXPECT_EQ(bitmap.pixel(19, y), display::TraceWhite) << y;
}

}  // namespace
