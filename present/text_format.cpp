// SPDX-License-Identifier: GPL-3.0-or-later
#include "present/text_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace sondeco {

std::string fixed(double value, int decimals) {
    if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value < 0 ? "-inf" : "inf");
    char text[400];  // the widest double in fixed notation has 309 digits before the point
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, result.ptr);
}

std::string zeroPadded(int value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*d", width, value);
    return text;
}

}  // namespace sondeco
