// SPDX-License-Identifier: GPL-3.0-or-later
// The tool bar's spectrum indicator: a 1024-point spectrum of the mixed signal around 1700 Hz drawn
// as green bars, with the tone guides and the bit-rate tag. Needs QImage only; no widgets.
#pragma once

#include <QImage>
#include <QRgb>

#include <array>
#include <cstdint>
#include <span>

namespace sondeco {

// Column glyphs of the rate tag's digits, indexed by digit value. In each column byte, bit k
// (k = 1 to 7) is row k from the top; bit 0 is never drawn.
inline constexpr int DigitGlyphColumns = 6;
using DigitGlyph = std::array<std::uint8_t, DigitGlyphColumns>;
inline constexpr std::array<DigitGlyph, 3> DigitFont{{
    {0, 124, 68, 68, 68, 124},  // 0
    {0, 0, 0, 124, 0, 0},  // 1
    {0, 116, 84, 84, 84, 92},  // 2
}};

// Writes one pixel of a 24-bit bitmap straight into its scan line. Does nothing when (x, y) lies
// outside the bitmap or the bitmap is not Format_RGB888.
void setPixel(int x, int y, QImage& bitmap, QRgb colour);

// The bit-rate tag: a solid box of `colour` from (x0 + 1, y0 + 1) to (x0 + 21, y0 + 7) with the three
// digits of `text` cut out of it in black. The codes are digit values (2, 0, 0 for "200"); a code
// without a glyph leaves its cell solid.
void drawRateLabel(std::span<const std::uint8_t, 3> text, int x0, int y0, QImage& bitmap, QRgb colour);

// Owns the spectrum tables, the 1024-sample window that runs over the last buffers, and the work
// arrays; about 56 KB, so keep it in a heap-allocated owner (the main window). One object per
// indicator; nothing is allocated after construction.
class SignalIndicator {
public:
    static constexpr int FftSize = 1024;
    static constexpr int BufferLength = 480;  // mixed samples per capture buffer (100 ms at 4800 Hz)
    static constexpr int BitmapWidth = 85;
    static constexpr int BitmapHeight = 24;
    static constexpr int FirstDrawnBin = 277;  // 1298.4375 Hz of the mixed signal
    static constexpr int DrawnBins = 170;  // two bins a column
    static constexpr double BinSpacing = 4800.0 / FftSize;  // Hz

    // Builds the tables. SpectrumWindow starts at zero.
    SignalIndicator();

    // A black bitmap of the indicator's size and format, for the owner to create once and keep.
    static QImage makeBitmap();

    // Takes one buffer of mixed samples into the window, computes the spectrum and redraws the whole
    // bitmap: bars on black, the guides of the bit rate (decBitRate: 200 bit/s, else 100 bit/s) and the
    // rate tag. The window and levels are updated even when the bitmap is not drawable (not
    // Format_RGB888); the return value says whether anything was drawn.
    bool drawSignalIndicator(QImage& bitmap, std::span<const double, BufferLength> mixedSamples, bool decBitRate);

    // The last FftSize mixed samples, newest buffer first and each buffer in time order.
    const std::array<double, FftSize>& SpectrumWindow() const { return spectrumWindow_; }

    // The levels of the last drawing, 20 ln |X[k]|, in frequency order: bin k is k × BinSpacing Hz of
    // the mixed signal. A bin with an exactly zero real or imaginary part has level 0.
    const std::array<double, FftSize>& levels() const { return level_; }

    // The in-place radix-2 decimation-in-frequency transform the indicator uses, forward direction.
    // The result is left in bit-reversed order: entry k holds bin bitReversal(k).
    void transform(std::span<double, FftSize> re, std::span<double, FftSize> im) const;
    int bitReversal(int k) const { return bitReversal_[std::size_t(k)]; }

private:
    void updateWindow(std::span<const double, BufferLength> mixedSamples);
    void computeLevels();
    void drawPicture(QImage& bitmap, bool decBitRate) const;

    std::array<double, FftSize / 2> cosTable_{};
    std::array<double, FftSize / 2> sinTable_{};  // holds -sin: the forward direction
    std::array<std::uint16_t, FftSize> bitReversal_{};
    std::array<double, FftSize> hannWindow_{};

    std::array<double, FftSize> spectrumWindow_{};
    std::array<double, FftSize> re_{};
    std::array<double, FftSize> im_{};
    std::array<double, FftSize> level_{};
};

}  // namespace sondeco
