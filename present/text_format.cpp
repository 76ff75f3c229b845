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

std::string utcText(double wholeSeconds, const char* format) {
    // Checked before any conversion: a double beyond time_t's range does not convert, and NaN fails
    // both comparisons.
    constexpr double Year10000 = 253402300800.0;
    if (!(wholeSeconds >= 0.0 && wholeSeconds < Year10000)) return {};
    const auto seconds = static_cast<std::time_t>(wholeSeconds);
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) return {};
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &utc));
}

std::string isoUtcTime(double unixSeconds) {
    if (!std::isfinite(unixSeconds)) return {};
    // Rounded to the tenth first, so that 59.97 s becomes the next minute rather than "59.10".
    const double tenths = std::round(unixSeconds * 10.0);
    const std::string whole = utcText(std::floor(tenths / 10.0), "%Y-%m-%dT%H:%M:%S");
    if (whole.empty()) return {};
    return whole + "." + std::to_string(static_cast<int>(tenths - 10.0 * std::floor(tenths / 10.0))) + "Z";
}

}  // namespace sondeco
