// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/recording_tuning.h"

#include "audio/byte_order.h"
#include "audio/kiwi_wav.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace sondeco {
namespace {

std::optional<std::int64_t> utcSeconds(int year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
    if (year < 1990 || year > 2200 || !date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    const sys_seconds time = sys_days{date} + hours{hour} + minutes{minute} + seconds{second};
    return time.time_since_epoch().count();
}

// Windows SYSTEMTIME: year, month, day of week, day, hour, minute, second, milliseconds, 16 bits each.
std::optional<std::int64_t> systemTime(const unsigned char* p) {
    return utcSeconds(static_cast<int>(littleEndian16(p)), littleEndian16(p + 2), littleEndian16(p + 6), littleEndian16(p + 8),
                      littleEndian16(p + 10), littleEndian16(p + 12));
}

bool digitsAt(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return false;
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at), text.begin() + static_cast<std::ptrdiff_t>(at + count),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

unsigned number(std::string_view text, std::size_t at, std::size_t count) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
    return value;
}

bool isLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// A unit of frequency at `at` (any case), ending where no letter follows: its factor, and its length.
std::optional<std::pair<double, std::size_t>> unitAt(std::string_view text, std::size_t at) {
    static constexpr std::pair<std::string_view, double> Units[] = {{"mhz", 1e6}, {"khz", 1e3}, {"hz", 1.0}};
    for (const auto& [unit, factor] : Units) {
        if (at + unit.size() > text.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < unit.size(); ++i)
            same = same && std::tolower(static_cast<unsigned char>(text[at + i])) == static_cast<unsigned char>(unit[i]);
        if (same && (at + unit.size() == text.size() || !isLetter(text[at + unit.size()]))) return std::pair{factor, unit.size()};
    }
    return std::nullopt;
}

// GPS time counts from 1980-01-06T00:00:00Z and knows no leap seconds, so it runs ahead of UTC by
// those since (gpsLeadOverUtc).
constexpr std::int64_t GpsEpochUtc = 315964800;
constexpr std::int64_t SecondsPerWeek = 7 * 24 * 3600;

// How far the name's clock may be from the GPS time for this to be the same moment.
constexpr double MostClockError = 3600.0;

// The moment of week-seconds in GPS time nearest to `nearUtc`, in UTC seconds; nothing when it is
// farther than MostClockError.
std::optional<std::int64_t> gpsTimeNear(std::int64_t nearUtc, double weekSeconds) {
    const int lead = gpsLeadOverUtc(nearUtc);
    if (lead < 0) return std::nullopt;
    const auto near = static_cast<double>(nearUtc - GpsEpochUtc + lead);  // in GPS seconds
    double gps = std::floor(near / SecondsPerWeek) * SecondsPerWeek + weekSeconds;
    if (gps - near > SecondsPerWeek / 2) gps -= SecondsPerWeek;
    if (near - gps > SecondsPerWeek / 2) gps += SecondsPerWeek;
    if (std::fabs(gps - near) > MostClockError) return std::nullopt;
    return static_cast<std::int64_t>(std::floor(gps)) - lead + GpsEpochUtc;
}

}  // namespace

RecordingTuning tuningFromWavBytes(std::span<const unsigned char> bytes) {
    RecordingTuning tuning;
    if (bytes.size() < 12 || std::string_view(reinterpret_cast<const char*>(bytes.data()), 4) != "RIFF" ||
        std::string_view(reinterpret_cast<const char*>(bytes.data() + 8), 4) != "WAVE")
        return tuning;
    tuning.gpsWeekSeconds = kiwiWavStartWeekSeconds(bytes);
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::string_view id(reinterpret_cast<const char*>(bytes.data() + at), 4);
        const std::uint64_t size = littleEndian32(bytes.data() + at + 4);
        const std::size_t body = at + 8;
        if (id == "auxi" && size >= 36 && body + 36 <= bytes.size()) {
            const std::uint32_t centre = littleEndian32(bytes.data() + body + 32);
            if (centre > 0) tuning.centreHz = static_cast<double>(centre);
            tuning.startUtcSeconds = systemTime(bytes.data() + body);
            if (tuning.centreHz || tuning.startUtcSeconds) tuning.source = "its auxi chunk";
            return tuning;
        }
        if (id == "data") break;  // what SDR programs write comes before the samples
        at = static_cast<std::size_t>(std::min<std::uint64_t>(body + size + (size & 1u), bytes.size()));
    }
    return tuning;
}

RecordingTuning tuningFromFileName(std::string_view path) {
    RecordingTuning tuning;
    const std::size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    // kiwirecorder: 20240115T203000Z_300000_iq.wav, the frequency in hertz with no unit.
    if (digitsAt(name, 0, 8) && name.size() > 17 && name[8] == 'T' && digitsAt(name, 9, 6) && name[15] == 'Z' && name[16] == '_') {
        std::size_t end = 17;
        while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) ++end;
        if (end > 17 && end < name.size() && name[end] == '_')
            tuning.centreHz = std::strtod(std::string(name.substr(17, end - 17)).c_str(), nullptr);
    }
    for (std::size_t at = 0; at < name.size(); ++at) {
        const bool boundary = at == 0 || !std::isalnum(static_cast<unsigned char>(name[at - 1]));
        if (!boundary || !std::isdigit(static_cast<unsigned char>(name[at]))) continue;
        // A start: 20240115_203000Z or 20240115T203000Z.
        if (!tuning.startUtcSeconds && digitsAt(name, at, 8) && at + 16 <= name.size() && (name[at + 8] == '_' || name[at + 8] == 'T') &&
            digitsAt(name, at + 9, 6) && name[at + 15] == 'Z') {
            tuning.startUtcSeconds = utcSeconds(static_cast<int>(number(name, at, 4)), number(name, at + 4, 2), number(name, at + 6, 2),
                                                number(name, at + 9, 2), number(name, at + 11, 2), number(name, at + 13, 2));
        }
        // A frequency with its unit: 304000Hz, 300kHz, 0.304MHz.
        std::size_t end = at;
        while (end < name.size() && (std::isdigit(static_cast<unsigned char>(name[end])) || name[end] == '.')) ++end;
        if (const auto unit = unitAt(name, end); unit && !tuning.centreHz) {
            const double value = std::strtod(std::string(name.substr(at, end - at)).c_str(), nullptr);
            if (std::isfinite(value) && value > 0.0) tuning.centreHz = value * unit->first;
        }
    }
    if (tuning.centreHz || tuning.startUtcSeconds) tuning.source = "its name";
    return tuning;
}

RecordingTuning readRecordingTuning(const std::string& path) {
    if (path == "-") return {};
    std::vector<unsigned char> head(65536);
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0)));
    RecordingTuning tuning = tuningFromWavBytes(head);
    const RecordingTuning named = tuningFromFileName(path);
    if (!tuning.centreHz && named.centreHz) {
        tuning.centreHz = named.centreHz;
        tuning.source = named.source;
    }
    if (!tuning.startUtcSeconds) tuning.startUtcSeconds = named.startUtcSeconds;
    if (tuning.source.empty()) tuning.source = named.source;
    if (tuning.gpsWeekSeconds && tuning.startUtcSeconds) {
        if (const auto start = gpsTimeNear(*tuning.startUtcSeconds, *tuning.gpsWeekSeconds)) {
            tuning.startUtcSeconds = start;
            tuning.startFromGps = true;
        }
    }
    return tuning;
}

}  // namespace sondeco
