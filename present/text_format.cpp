// SPDX-License-Identifier: GPL-3.0-or-later
#include "present/text_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

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

std::string isoUtcTime(double unixSeconds) {
    // Checked before any conversion: a double beyond time_t's range does not convert, and NaN fails
    // both comparisons.
    constexpr double Year10000 = 253402300800.0;
    if (!(unixSeconds >= 0.0 && unixSeconds < Year10000)) return {};
    // Rounded to the tenth first, so that 59.97 s becomes the next minute rather than "59.10".
    const auto tenths = static_cast<long long>(std::llround(unixSeconds * 10.0));
    const auto seconds = static_cast<std::time_t>(tenths / 10);
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) return {};
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(text, length) + "." + std::to_string(tenths % 10) + "Z";
}

}  // namespace sondeco
