// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/scan_line_canvas.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace sondeco::display {

namespace {

std::int64_t floorDivide(std::int64_t numerator, std::int64_t denominator)  // denominator > 0
{
    std::int64_t quotient = numerator / denominator;
    if (numerator % denominator != 0 && numerator < 0) --quotient;
    return quotient;
}

int clampCoordinate(int value) { return std::clamp(value, -CoordinateLimit, CoordinateLimit); }

}  // namespace

int toPixel(double value) {
    if (!(value >= -CoordinateLimit)) return -CoordinateLimit;  // NaN lands here too
    if (value > CoordinateLimit) return CoordinateLimit;
    return int(value);
}

bool isDrawableBitmap(const QImage& bitmap) { return !bitmap.isNull() && bitmap.format() == QImage::Format_RGB888; }

ScanLineCanvas::ScanLineCanvas(QImage& bitmap) {
    if (!isDrawableBitmap(bitmap)) return;
    bits_ = bitmap.bits();
    stride_ = bitmap.bytesPerLine();
    byteCount_ = bitmap.sizeInBytes();
    width_ = bitmap.width();
    height_ = bitmap.height();
}

void ScanLineCanvas::fill(QRgb colour) {
    if (!bits_) return;
    if (qRed(colour) == qGreen(colour) && qGreen(colour) == qBlue(colour)) {
        std::memset(bits_, qRed(colour), std::size_t(byteCount_));
        return;
    }
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x) put(x, y, colour);
}

void ScanLineCanvas::plot(int x, int y, QRgb colour) {
    if (bits_ && x >= 0 && x < width_ && y >= 0 && y < height_) put(x, y, colour);
}

// One pixel per step along the main direction (x when the line is at least as wide as it is tall).
// The cross coordinate of step t is computed directly, rounded to nearest with halves going up, so
// that the steps outside the bitmap can be skipped without walking through them: a sweep that shoots
// far off the top costs no more than one that stays inside.
void ScanLineCanvas::drawLine(int x0, int y0, int x1, int y1, QRgb colour, LineStyle style, LineEnd end) {
    if (!bits_) return;
    x0 = clampCoordinate(x0);
    y0 = clampCoordinate(y0);
    x1 = clampCoordinate(x1);
    y1 = clampCoordinate(y1);

    const std::int64_t dx = std::int64_t(x1) - x0;
    const std::int64_t dy = std::int64_t(y1) - y0;
    const bool xMajor = (dx < 0 ? -dx : dx) >= (dy < 0 ? -dy : dy);
    const std::int64_t major0 = xMajor ? x0 : y0;
    const std::int64_t minor0 = xMajor ? y0 : x0;
    const std::int64_t majorDelta = xMajor ? dx : dy;
    const std::int64_t minorDelta = xMajor ? dy : dx;
    const std::int64_t steps = majorDelta < 0 ? -majorDelta : majorDelta;
    const std::int64_t direction = majorDelta < 0 ? -1 : 1;
    const std::int64_t majorSize = xMajor ? width_ : height_;
    const std::int64_t minorSize = xMajor ? height_ : width_;

    std::int64_t first = 0;
    std::int64_t last = end == LineEnd::Included ? steps : steps - 1;
    if (direction > 0) {
        first = std::max(first, -major0);
        last = std::min(last, majorSize - 1 - major0);
    } else {
        first = std::max(first, major0 - (majorSize - 1));
        last = std::min(last, major0);
    }

    for (std::int64_t t = first; t <= last; ++t) {
        if (style == LineStyle::Dotted && (t / DotLength) % 2 != 0) continue;
        const std::int64_t minor = steps == 0 ? minor0 : minor0 + floorDivide(2 * t * minorDelta + steps, 2 * steps);
        if (minor < 0 || minor >= minorSize) continue;
        const std::int64_t major = major0 + direction * t;
        if (xMajor)
            put(int(major), int(minor), colour);
        else
            put(int(minor), int(major), colour);
    }
}

}  // namespace sondeco::display
