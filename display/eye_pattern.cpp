// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/eye_pattern.h"

#include "display/scan_line_canvas.h"

#include <algorithm>

namespace sondeco {

namespace {

// The nominal MSK deviation, a quarter of the bit rate, lands 50 pixels either side of the centre at
// both bit rates.
constexpr int DeviationRows[2] = {EyePattern::CentreRow - 50, EyePattern::CentreRow + 50};

}  // namespace

QImage EyePattern::makeBitmap() {
    QImage bitmap(BitmapWidth, BitmapHeight, QImage::Format_RGB888);
    bitmap.fill(Qt::black);
    return bitmap;
}

bool EyePattern::drawEyePattern(QImage& bitmap, std::span<const double, BufferLength> frequencyTrace,
                                std::span<const std::uint8_t, BufferLength> bitMarks, int eyeSampleSpacing, double eyeVerticalScale) {
    pushHistory(frequencyTrace, bitMarks);
    if (!display::isDrawableBitmap(bitmap)) return false;
    drawPicture(bitmap, eyeSampleSpacing, eyeVerticalScale);
    return true;
}

void EyePattern::pushHistory(std::span<const double, BufferLength> frequencyTrace, std::span<const std::uint8_t, BufferLength> bitMarks) {
    for (int r = 0; r + 1 < HistoryRows; ++r) history_[std::size_t(r)] = history_[std::size_t(r + 1)];
    Row& newest = history_[HistoryRows - 1];
    std::copy(frequencyTrace.begin(), frequencyTrace.end(), newest.trace.begin());
    std::copy(bitMarks.begin(), bitMarks.end(), newest.marks.begin());
}

void EyePattern::drawPicture(QImage& bitmap, int eyeSampleSpacing, double eyeVerticalScale) const {
    display::ScanLineCanvas canvas(bitmap);
    const int width = canvas.width();
    const int height = canvas.height();
    canvas.fill(display::Black);

    canvas.drawLine(0, CentreRow, width, CentreRow, display::GuideGrey, display::LineStyle::Dotted);
    for (int y : DeviationRows) canvas.drawLine(0, y, width, y, display::GuideGrey, display::LineStyle::Dotted);
    canvas.drawLine(CentreColumn, 0, CentreColumn, height, display::GuideGrey, display::LineStyle::Dotted);

    // Every second bit mark restarts a sweep at the left edge; x counts the samples of the sweep so
    // far. Until the second mark there is no sweep (x = 0). The counters run on across the rows,
    // but the last sample of a row is never joined to the first of the next one.
    const auto row = [eyeVerticalScale](double hertz) { return display::toPixel(CentreRow - hertz * eyeVerticalScale); };
    int x = 0;
    int marks = 0;
    for (const Row& buffer : history_) {
        for (int n = 0; n + 1 < BufferLength; ++n) {
            if (buffer.marks[std::size_t(n)] != 0) {
                ++marks;
                if (marks >= 2) {
                    x = 1;
                    marks = 0;
                }
            }
            if (x > 0) {
                canvas.drawLine(display::toPixel(double(x - 1) * eyeSampleSpacing), row(buffer.trace[std::size_t(n)]),
                                display::toPixel(double(x) * eyeSampleSpacing), row(buffer.trace[std::size_t(n + 1)]), display::TraceWhite);
                ++x;
            }
        }
    }
}

}  // namespace sondeco
