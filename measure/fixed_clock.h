// SPDX-License-Identifier: GPL-3.0-or-later
// Page footers carry the local time; tests, benchmarks and fuzz targets read this clock instead, so a
// page text depends on its input alone (and no run spends its time in the C library's time zones).
#pragma once

#include <ctime>

namespace sondeco {

inline std::tm fixedClock() {
    std::tm time{};
    time.tm_hour = 12;
    time.tm_min = 34;
    time.tm_sec = 56;
    return time;
}

}  // namespace sondeco
