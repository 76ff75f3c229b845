// SPDX-License-Identifier: GPL-3.0-or-later
// The eye pattern: the demodulator's frequency track of the last three buffers cut into two-bit
// sweeps and drawn on top of each other. Needs QImage only; no widgets, no demodulator.
#pragma once

#include <QImage>

#include <array>
#include <cstdint>
#include <span>

namespace sondeco {

// Owns EyeHistory, the last three buffers of frequency track and bit marks. One object per eye
// pattern window; it allocates nothing after construction.
class EyePattern {
public:
    static constexpr int BufferLength = 480;  // decimated samples per capture buffer
    static constexpr int HistoryRows = 3;
    static constexpr int BitmapWidth = 192;  // two bits at either bit rate
    static constexpr int BitmapHeight = 150;
    static constexpr int CentreRow = 75;  // zero offset from the centre frequency
    static constexpr int CentreColumn = 96;  // the decision halfway between two sweep starts

    struct Row {
        std::array<double, BufferLength> trace{};  // Hz off the centre frequency
        std::array<std::uint8_t, BufferLength> marks{};  // 1 where a bit was decided
    };

    // A black bitmap of the eye pattern's size and format, for the owner to create once and keep.
    static QImage makeBitmap();

    // Moves the history on by one buffer, then redraws the whole bitmap from it: black, the dotted
    // guides and the white sweeps. eyeSampleSpacing is in pixels per sample, eyeVerticalScale in
    // pixels per Hz (4 and 1.0 at 200 bit/s, 2 and 2.0 at 100 bit/s); they apply to all three rows, so
    // a bit-rate change rescales what is already stored. Call it only while the window shows: the
    // history is meant to stand still while it is hidden. The history moves even when the bitmap is
    // not drawable (not Format_RGB888); the return value says whether anything was drawn.
    bool drawEyePattern(QImage& bitmap, std::span<const double, BufferLength> frequencyTrace,
                        std::span<const std::uint8_t, BufferLength> bitMarks, int eyeSampleSpacing, double eyeVerticalScale);

    // Row 0 is the oldest buffer, row 2 the newest. All zero at construction.
    const std::array<Row, HistoryRows>& EyeHistory() const { return history_; }

private:
    void pushHistory(std::span<const double, BufferLength> frequencyTrace, std::span<const std::uint8_t, BufferLength> bitMarks);
    void drawPicture(QImage& bitmap, int eyeSampleSpacing, double eyeVerticalScale) const;

    std::array<Row, HistoryRows> history_{};
};

}  // namespace sondeco
