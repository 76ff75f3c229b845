// SPDX-License-Identifier: GPL-3.0-or-later
// Number formatting for the page texts that never depends on the user's locale: a German desktop
// must still show "12.34 m", and the program's GUI library switches the C locale to the user's.
#pragma once

#include <string>

namespace sondeco {

// printf's "%0.Nf", always with a full stop.
std::string fixed(double value, int decimals);

// printf's "%0Nd" (leading zeros to `width` digits).
std::string zeroPadded(int value, int width);

// A whole second since the Unix epoch as UTC calendar text in strftime's `format`; empty for a time
// outside the years 1970 to 9999 (a damaged log's, say), which would not fit a time_t or a column.
std::string utcText(double wholeSeconds, const char* format);

// ISO 8601 in UTC to a tenth of a second, "2024-01-15T20:30:00.1Z"; empty for a time outside the
// years 1970 to 9999, which no stream of ours has.
std::string isoUtcTime(double unixSeconds);

}  // namespace sondeco
