// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/signal_indicator.h"

#include "display/scan_line_canvas.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace sondeco {

namespace {

constexpr double TwoPi = 2.0 * std::numbers::pi;

// Where the guides fall: near the two MSK tones, a quarter of the bit rate either side of 1700 Hz.
constexpr int GuideColumns200[2] = {38, 48};
constexpr int GuideColumns100[2] = {40, 45};

// A level of 6 is one pixel of bar; the bars start 20 pixels below the bottom edge, so the quiet
// part of the spectrum stays black.
constexpr double PixelsPerLevel = 0.16666666666666666667;
constexpr int BarBaseOffset = 20;

constexpr int RateLabelX0 = 61;
constexpr int RateLabelY0 = 1;
constexpr std::array<std::uint8_t, 3> RateText200{2, 0, 0};
constexpr std::array<std::uint8_t, 3> RateText100{1, 0, 0};

}  // namespace

void setPixel(int x, int y, QImage& bitmap, QRgb colour) {
    if (x < 0 || x >= bitmap.width() || y < 0 || y >= bitmap.height()) return;
    if (bitmap.format() != QImage::Format_RGB888) return;
    uchar* pixel = bitmap.scanLine(y) + qsizetype(x) * 3;
    pixel[0] = uchar(qRed(colour));
    pixel[1] = uchar(qGreen(colour));
    pixel[2] = uchar(qBlue(colour));
}

void drawRateLabel(std::span<const std::uint8_t, 3> text, int x0, int y0, QImage& bitmap, QRgb colour) {
    for (int row = y0 + 1; row <= y0 + 7; ++row) setPixel(x0 + 1, row, bitmap, colour);
    for (int c = 0; c < 3; ++c) {
        const std::uint8_t code = text[std::size_t(c)];
        for (int j = 0; j < DigitGlyphColumns; ++j) {
            const std::uint8_t column = code < DigitFont.size() ? DigitFont[code][std::size_t(j)] : 0;
            for (int k = 1; k <= 7; ++k) {
                const bool ink = (column >> k) & 1;
                setPixel(x0 + 2 + 6 * c + j, y0 + k, bitmap, ink ? display::Black : colour);
            }
        }
    }
    for (int row = y0 + 1; row <= y0 + 7; ++row) {
        setPixel(x0 + 20, row, bitmap, colour);
        setPixel(x0 + 21, row, bitmap, colour);
    }
}

SignalIndicator::SignalIndicator() {
    for (int k = 0; k < FftSize / 2; ++k) {
        cosTable_[std::size_t(k)] = std::cos(TwoPi * k / FftSize);
        sinTable_[std::size_t(k)] = -std::sin(TwoPi * k / FftSize);
    }
    // Bit reversal by doubling: the second half of each prefix is the first half with the next
    // lower bit of the reversed index set.
    bitReversal_[0] = 0;
    int half = FftSize / 2;
    for (int step = 1; step < FftSize; step *= 2) {
        for (int j = 0; j < step; ++j) bitReversal_[std::size_t(j + step)] = std::uint16_t(bitReversal_[std::size_t(j)] + half);
        half /= 2;
    }
    for (int i = 0; i < FftSize; ++i) hannWindow_[std::size_t(i)] = 0.5 - 0.5 * std::cos(TwoPi * i / FftSize);
}

QImage SignalIndicator::makeBitmap() {
    QImage bitmap(BitmapWidth, BitmapHeight, QImage::Format_RGB888);
    bitmap.fill(Qt::black);
    return bitmap;
}

bool SignalIndicator::drawSignalIndicator(QImage& bitmap, std::span<const double, BufferLength> mixedSamples, bool decBitRate) {
    updateWindow(mixedSamples);
    computeLevels();
    if (!display::isDrawableBitmap(bitmap)) return false;
    drawPicture(bitmap, decBitRate);
    return true;
}

// Newest buffer first: the older part moves up by one buffer and the oldest 416 samples drop out.
void SignalIndicator::updateWindow(std::span<const double, BufferLength> mixedSamples) {
    std::copy_backward(spectrumWindow_.begin(), spectrumWindow_.begin() + (FftSize - BufferLength), spectrumWindow_.end());
    std::copy(mixedSamples.begin(), mixedSamples.end(), spectrumWindow_.begin());
}

void SignalIndicator::transform(std::span<double, FftSize> re, std::span<double, FftSize> im) const {
    for (int half = FftSize / 2, step = 1; step < FftSize; half /= 2, step *= 2) {
        for (int group = 0; group < FftSize; group += 2 * half) {
            int t = 0;
            for (int i = group; i < group + half; ++i) {
                const int j = i + half;
                const double a = re[std::size_t(i)];
                const double c = re[std::size_t(j)];
                const double p = im[std::size_t(i)];
                const double q = im[std::size_t(j)];
                const double cosine = cosTable_[std::size_t(t)];
                const double sine = sinTable_[std::size_t(t)];
                re[std::size_t(i)] = a + c;
                re[std::size_t(j)] = (a - c) * cosine - (p - q) * sine;
                im[std::size_t(i)] = p + q;
                im[std::size_t(j)] = (a - c) * sine + (p - q) * cosine;
                t += step;
            }
        }
    }
}

void SignalIndicator::computeLevels() {
    for (std::size_t i = 0; i < FftSize; ++i) {
        re_[i] = spectrumWindow_[i] * hannWindow_[i];
        im_[i] = 0.0;
    }
    transform(re_, im_);
    // A bin with an exactly zero part counts as empty. With digital silence every bin is exactly
    // zero, and this keeps the logarithm away from it.
    for (std::size_t k = 0; k < FftSize; ++k) {
        const double re = re_[k];
        const double im = im_[k];
        level_[k] = (re == 0.0 || im == 0.0) ? 0.0 : 20.0 * std::log(std::sqrt(re * re + im * im));
    }
    for (std::size_t k = 0; k < FftSize; ++k) {
        const std::size_t reversed = bitReversal_[k];
        if (reversed > k) std::swap(level_[k], level_[reversed]);
    }
}

void SignalIndicator::drawPicture(QImage& bitmap, bool decBitRate) const {
    display::ScanLineCanvas canvas(bitmap);
    const int height = canvas.height();
    canvas.fill(display::Black);

    for (int x : decBitRate ? GuideColumns200 : GuideColumns100)
        canvas.drawLine(x, 0, x, height, display::GuideGrey, display::LineStyle::Dotted);

    // Two bins a column, the second drawn over the first; the taller one shows. A bar reaches from
    // the bottom edge up to and including its top row.
    for (int i = 0; i < DrawnBins; ++i) {
        const int x = i / 2;
        const int top = height - display::toPixel(level_[std::size_t(FirstDrawnBin + i)] * PixelsPerLevel) + BarBaseOffset;
        canvas.drawLine(x, height, x, top, display::BarGreen, display::LineStyle::Solid, display::LineEnd::Included);
    }

    drawRateLabel(decBitRate ? RateText200 : RateText100, RateLabelX0, RateLabelY0, bitmap, display::BarGreen);
}

}  // namespace sondeco
