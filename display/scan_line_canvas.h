// SPDX-License-Identifier: GPL-3.0-or-later
// Pixel-exact pen work straight on the scan lines of a 24-bit QImage: fill, single pixels and
// one-pixel lines, solid or dotted, clipped to the bitmap. Needs QImage only; no QPainter.
#pragma once

#include <QImage>
#include <QRgb>

namespace sondeco::display {

// The four colours the displays use.
inline constexpr QRgb Black = qRgb(0x00, 0x00, 0x00);
inline constexpr QRgb GuideGrey = qRgb(0x80, 0x80, 0x80);
inline constexpr QRgb TraceWhite = qRgb(0xFF, 0xFF, 0xFF);
inline constexpr QRgb BarGreen = qRgb(0x00, 0xFF, 0x00);

// A dotted line is DotLength pixels on, DotLength pixels off, counted along its main direction
// from its start point: the short dashes a one-pixel dotted pen draws on the Windows desktop.
inline constexpr int DotLength = 3;

// Coordinates further out than this are pulled in before drawing, so that the integer arithmetic of
// a line cannot overflow. Such points lie far outside any bitmap we draw into.
inline constexpr int CoordinateLimit = 1 << 24;

enum class LineStyle { Solid, Dotted };

// A pen moving to a point and drawing a line to another lights the start pixel but not the end
// pixel, so that consecutive segments meet without drawing their joint twice. Included asks for the
// end pixel as well.
enum class LineEnd { Excluded, Included };

// Converts a computed position to a pixel coordinate by truncating toward zero. Values beyond
// CoordinateLimit, infinities and NaN come out far outside the bitmap (NaN above or left of it).
int toPixel(double value);

// Whether the displays can draw into this bitmap: non-null, 24 bits a pixel in R, G, B byte order.
bool isDrawableBitmap(const QImage& bitmap);

// A drawing view on one bitmap for the length of one drawing. Construction detaches the image if
// its pixels are shared (the only time it can allocate); after that no call allocates. An
// undrawable bitmap gives a canvas on which every call does nothing.
class ScanLineCanvas {
public:
    explicit ScanLineCanvas(QImage& bitmap);

    bool isValid() const { return bits_ != nullptr; }
    int width() const { return width_; }
    int height() const { return height_; }

    void fill(QRgb colour);
    void plot(int x, int y, QRgb colour);  // does nothing outside the bitmap
    void drawLine(int x0, int y0, int x1, int y1, QRgb colour, LineStyle style = LineStyle::Solid, LineEnd end = LineEnd::Excluded);

private:
    void put(int x, int y, QRgb colour) {
        uchar* pixel = bits_ + qsizetype(y) * stride_ + qsizetype(x) * 3;
        pixel[0] = uchar(qRed(colour));
        pixel[1] = uchar(qGreen(colour));
        pixel[2] = uchar(qBlue(colour));
    }

    uchar* bits_ = nullptr;
    qsizetype stride_ = 0;
    qsizetype byteCount_ = 0;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace sondeco::display
