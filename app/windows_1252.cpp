// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/windows_1252.h"

#include <array>

namespace sondeco {
namespace {

constexpr char16_t Undefined = 0xFFFD;

// 0x80..0x9F; every other byte is the Unicode character of the same number.
constexpr std::array<char16_t, 32> HighControlRange{
    0x20AC,    Undefined, 0x201A, 0x0192, 0x201E, 0x2026,    0x2020, 0x2021,  // € . ‚ ƒ „ … † ‡
    0x02C6,    0x2030,    0x0160, 0x2039, 0x0152, Undefined, 0x017D, Undefined,  // ˆ ‰ Š ‹ Œ . Ž .
    Undefined, 0x2018,    0x2019, 0x201C, 0x201D, 0x2022,    0x2013, 0x2014,  // . ‘ ’ “ ” • – —
    0x02DC,    0x2122,    0x0161, 0x203A, 0x0153, Undefined, 0x017E, 0x0178,  // ˜ ™ š › œ . ž Ÿ
};

}  // namespace

QString windows1252ToString(std::string_view bytes) {
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
        *out++ = QChar(code >= 0x80 && code <= 0x9F ? HighControlRange[code - 0x80u] : static_cast<char16_t>(code));
    }
    return text;
}

}  // namespace sondeco
