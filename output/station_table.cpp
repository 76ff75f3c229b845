// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/station_table.h"

#include "output/status_panels.h"
#include "present/text_format.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace sondeco {

namespace {

// Anything nearer the Earth's centre than this is not a position on its surface.
constexpr double LeastStationRadius = 6.0e6;  // metres

std::string printed(const char* format, auto... values) {
    char text[160];
    const int length = std::snprintf(text, sizeof text, format, values...);
    return std::string(text, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof text) - 1)));
}

bool sameFrequency(std::optional<double> a, std::optional<double> b) {
    if (!a || !b) return !a && !b;
    return std::fabs(*a - *b) <= SameStationToleranceHz;
}

}  // namespace

double systemWallClock() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

std::optional<GeodeticPosition> stationPositionOf(const ReferenceStationPosition& ecef) {
    if (std::hypot(ecef.x, ecef.y, ecef.z) < LeastStationRadius) return std::nullopt;
    // The closed formula divides by the distance from the axis: a station exactly on it (a pole) is
    // nudged off by a millimetre, which moves its latitude by nothing the table shows.
    const double x = std::hypot(ecef.x, ecef.y) == 0.0 ? 0.001 : ecef.x;
    return ecefToGeodetic(x, ecef.y, ecef.z);
}

std::string formatStationFrequency(std::optional<double> frequencyHz, bool absolute) {
    if (!frequencyHz) return "-";
    if (absolute) return printed("%.1f kHz", *frequencyHz / 1000.0);
    return printed("%+.0f Hz", *frequencyHz);
}

std::string formatUtcTime(double unixSeconds) {
    const std::string text = std::isfinite(unixSeconds) ? utcText(std::floor(unixSeconds), "%Y-%m-%d %H:%M:%S") : std::string();
    return text.empty() ? "-" : text;
}

void sortStationRows(std::vector<StationRow>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const StationRow& a, const StationRow& b) {
        if (a.frequencyHz.has_value() != b.frequencyHz.has_value()) return a.frequencyHz.has_value();
        if (a.frequencyHz && *a.frequencyHz != *b.frequencyHz) return *a.frequencyHz < *b.frequencyHz;
        return a.stationId < b.stationId;
    });
}

std::string renderStationTable(std::vector<StationRow> rows, int columns) {
    sortStationRows(rows);
    // The narrow layout drops the position and the date: a live view's stations were heard today,
    // and the position is the full layout's (or the frame log's) to show.
    const bool full = columns >= FullStationTableColumns;
    constexpr const char* FullLine = "%-12s %4s %4s %8s %8s %8s %6s %4s  %-19s %9s %10s  %s\n";
    constexpr const char* NarrowLine = "%-10s %3s %4s %7s %7s %8s %6s %4s  %-9s %s\n";
    std::string text =
        full ? printed(FullLine, "Frequency", "ID", "Rate", "Eb/N0", "Frames", "Repaired", "Lost", "Type", "Last heard UTC", "Latitude",
                       "Longitude", "Health")
             : printed(NarrowLine, "Frequency", "ID", "Rate", "Eb/N0", "Frames", "Repaired", "Lost", "Type", "Heard UTC", "Health");
    for (const StationRow& row : rows) {
        const std::string frequency = formatStationFrequency(row.frequencyHz, row.absoluteFrequency);
        const std::string id = printed("%03d", row.stationId);
        const std::string rate = row.bitRate ? std::to_string(*row.bitRate) : "-";
        const std::string ebN0 = row.ebN0Db ? printed("%.1f dB", *row.ebN0Db) : "-";
        const std::string frames = std::to_string(row.frames);
        const std::string repaired = std::to_string(row.framesRepaired);
        const std::string lost = std::to_string(row.framesLost);
        const std::string type = std::to_string(row.lastMessageType);
        const std::string heard = formatUtcTime(row.lastHeard);
        if (!full) {
            const std::string timeOfDay = heard.size() > 11 ? heard.substr(11) : heard;
            text += printed(NarrowLine, frequency.c_str(), id.c_str(), rate.c_str(), ebN0.c_str(), frames.c_str(), repaired.c_str(),
                            lost.c_str(), type.c_str(), timeOfDay.c_str(), stationHealthText(row.health));
            continue;
        }
        const std::string latitude = row.stationPosition ? printed("%+.5f", row.stationPosition->latitude) : "-";
        const std::string longitude = row.stationPosition ? printed("%+.5f", row.stationPosition->longitude) : "-";
        text += printed(FullLine, frequency.c_str(), id.c_str(), rate.c_str(), ebN0.c_str(), frames.c_str(), repaired.c_str(), lost.c_str(),
                        type.c_str(), heard.c_str(), latitude.c_str(), longitude.c_str(), stationHealthText(row.health));
    }
    return text;
}

StationTable::StationTable(WallClock clock) : clock_(std::move(clock)) {}

std::optional<std::size_t> StationTable::findStation(std::optional<double> frequencyHz, bool absolute, int stationId) const {
    for (std::size_t index = 0; index < rows_.size(); ++index) {
        const StationRow& row = rows_[index];
        if (row.stationId == stationId && row.absoluteFrequency == absolute && sameFrequency(row.frequencyHz, frequencyHz)) return index;
    }
    return std::nullopt;
}

std::optional<std::size_t> StationTable::lastHeardAt(double frequencyHz) const {
    std::optional<std::size_t> found;
    for (std::size_t index = 0; index < rows_.size(); ++index) {
        const StationRow& row = rows_[index];
        if (!sameFrequency(row.frequencyHz, frequencyHz)) continue;
        if (!found || row.lastHeard >= rows_[*found].lastHeard) found = index;
    }
    return found;
}

std::size_t StationTable::record(const RtcmFrame& frame, const DecodedMessage& message) {
    const Reception& reception = message.reception;
    // A frame that knows when it was received in the stream (held back a while, or decoded faster
    // than real time) is dated by that.
    const double now = reception.time.value_or(clock_());
    std::size_t index = 0;
    if (const auto found = findStation(reception.toneHz, reception.absoluteFrequency, frame.stationId)) {
        index = *found;
    } else {
        index = rows_.size();
        StationRow& added = rows_.emplace_back();
        added.stationId = frame.stationId;
        added.absoluteFrequency = reception.absoluteFrequency;
        added.firstHeard = now;
    }
    StationRow& row = rows_[index];
    // The frequency follows the receiver's estimate, so that a slow drift stays one station.
    row.frequencyHz = reception.toneHz;
    if (reception.bitRate) row.bitRate = reception.bitRate;
    if (reception.ebN0Db) row.ebN0Db = reception.ebN0Db;
    ++row.frames;
    if (reception.repairedWords > 0) ++row.framesRepaired;
    ++row.framesByType[static_cast<std::size_t>(frame.messageType & 63)];
    row.lastMessageType = frame.messageType;
    row.lastHeard = now;
    row.health = frame.stationHealth;
    // Other families leave the position record as an earlier frame filled it: only a whole type 3
    // or 32 of this frame counts.
    if (message.family == MessageFamily::ReferenceStation && message.hasStation) {
        row.stationEcef = message.station;
        row.stationPosition = stationPositionOf(message.station);
    }
    if (reception.toneHz) {
        for (Channel& channel : channels_) {
            if (channel.unattributed == 0 || !sameFrequency(channel.frequencyHz, reception.toneHz)) continue;
            row.framesLost += channel.unattributed;
            channel.unattributed = 0;
        }
    }
    return index;
}

std::optional<std::size_t> StationTable::framesLost(double frequencyHz, std::uint64_t totalLostOnThatChannel) {
    auto channel = std::find_if(channels_.begin(), channels_.end(),
                                [&](const Channel& known) { return sameFrequency(known.frequencyHz, frequencyHz); });
    if (channel == channels_.end()) channel = channels_.insert(channels_.end(), Channel{frequencyHz, 0, 0});
    channel->frequencyHz = frequencyHz;
    // A total below the last one is a decoder started afresh: all it reports is new.
    const std::uint64_t added =
        totalLostOnThatChannel >= channel->totalLost ? totalLostOnThatChannel - channel->totalLost : totalLostOnThatChannel;
    channel->totalLost = totalLostOnThatChannel;
    if (added == 0) return std::nullopt;
    const auto station = lastHeardAt(frequencyHz);
    if (!station) {
        channel->unattributed += added;
        return std::nullopt;
    }
    rows_[*station].framesLost += added;
    return station;
}

std::size_t StationTable::restore(const StationRow& row) {
    rows_.push_back(row);
    return rows_.size() - 1;
}

std::string formatFrameLine(double unixSeconds, const RtcmFrame& frame, const DecodedMessage& message) {
    const Reception& reception = message.reception;
    std::string line = formatUtcTime(unixSeconds) + " UTC  " +
                       printed("%-12s", formatStationFrequency(reception.toneHz, reception.absoluteFrequency).c_str());
    line += printed(" station %03d  type %2d  z %s  seq %d  len %2d", frame.stationId, frame.messageType,
                    formatZCount(frame.zCount).c_str(), frame.sequenceNumber, frame.frameLength);
    line += reception.bitRate ? printed("  %3d bit/s", *reception.bitRate) : std::string("  - bit/s");
    line += reception.ebN0Db ? printed("  Eb/N0 %4.1f dB", *reception.ebN0Db) : std::string("  Eb/N0 - dB");
    line += printed("  repaired %d  %s", reception.repairedWords, stationHealthText(frame.stationHealth));
    return line;
}

TerminalSize terminalSize(int fd) {
    TerminalSize size;
    winsize window{};
    const bool asked = ioctl(fd, TIOCGWINSZ, &window) == 0;
    const auto fromEnvironment = [](const char* name, int otherwise) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') return otherwise;
        char* end = nullptr;
        errno = 0;
        const long number = std::strtol(value, &end, 10);
        return *end == '\0' && errno == 0 && number > 0 && number <= 100000 ? static_cast<int>(number) : otherwise;
    };
    size.columns = asked && window.ws_col > 0 ? window.ws_col : fromEnvironment("COLUMNS", size.columns);
    size.rows = asked && window.ws_row > 0 ? window.ws_row : fromEnvironment("LINES", size.rows);
    return size;
}

StationTableWriter::StationTableWriter(const StationTable& table, std::FILE* out, Mode mode, WallClock clock)
    : table_(table), out_(out), mode_(mode), clock_(std::move(clock)) {
    if (mode_ == Mode::Automatic) mode_ = isatty(fileno(out_)) != 0 ? Mode::Redraw : Mode::Lines;
}

void StationTableWriter::write(const std::string& text) {
    if (failed_) return;
    if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() || std::fflush(out_) != 0) {
        failed_ = true;
        errorNumber_ = errno;
    }
}

namespace {

// `line` as one row of a terminal `columns` wide: control characters (a line end or an escape in a
// caller's line would move the cursor where the redraw does not expect it) become spaces, and what
// goes past the last column is cut, a UTF-8 sequence counted as one character. `width` is what is
// left, in characters.
std::string screenRow(std::string_view line, int columns, int& width) {
    std::string row;
    width = 0;
    for (const char byte : line) {
        const auto code = static_cast<unsigned char>(byte);
        const bool continuation = (code & 0xc0) == 0x80;
        if (!continuation && width == columns) break;
        if (!continuation) ++width;
        row += code < 0x20 || code == 0x7f ? ' ' : byte;
    }
    return row;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return lines;
}

}  // namespace

void StationTableWriter::redraw(TerminalSize size, bool last) {
    if (headline_) shownHeadline_ = headline_();
    if (status_) shownStatus_ = status_();
    shownSize_ = size;
    const auto rows = static_cast<std::size_t>(std::max(size.rows, 1));
    const int columns = std::max(size.columns, 1);

    std::vector<std::string> lines;
    if (!shownHeadline_.empty()) lines.push_back(shownHeadline_);
    std::vector<std::string> table = linesOf(renderStationTable(table_.rows(), columns));
    const std::size_t stations = table.size() - 1;
    const std::size_t others = lines.size() + 1 + (shownStatus_.empty() ? 0 : 1);
    const std::size_t room = rows > others ? rows - others : 0;
    if (!last && stations > room) {
        const std::size_t shown = room > 0 ? room - 1 : 0;
        table.resize(1 + shown);
        const std::size_t more = stations - shown;
        table.push_back("... " + std::to_string(more) + (more == 1 ? " more station" : " more stations"));
    }
    lines.insert(lines.end(), table.begin(), table.end());
    if (!shownStatus_.empty()) lines.push_back(shownStatus_);
    // Only a screen of three rows or fewer gets here: what does not fit goes from the bottom.
    if (!last && lines.size() > rows) lines.resize(rows);

    // Home, each line cleared to its end as it is written over, then the rest of the screen cleared:
    // no blank flash between two tables, and a table that shrank leaves nothing behind. A line that
    // fills its row needs no clearing (and would lose its last character to it where the cursor
    // waits on the last column), and a line end on the bottom row would scroll the screen: the
    // bottom row gets none, and then there is no rest of the screen to clear. The last redraw ends
    // every line, so that what follows the program starts under the table, and may scroll, once.
    std::string text = "\x1b[H";
    for (std::size_t index = 0; index < lines.size(); ++index) {
        int width = 0;
        text += screenRow(lines[index], columns, width);
        if (width < columns) text += "\x1b[K";
        if (last || index + 1 < rows) text += '\n';
    }
    if (last || lines.size() < rows) text += "\x1b[J";
    write(text);
    lastRedraw_ = clock_();
    changed_ = false;
}

void StationTableWriter::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    if (mode_ == Mode::Lines) {
        write(formatFrameLine(message.reception.time.value_or(clock_()), frame, message) + "\n");
        return;
    }
    changed_ = true;
    refresh();
}

void StationTableWriter::refresh() {
    if (mode_ != Mode::Redraw) return;
    if (lastRedraw_ && clock_() - *lastRedraw_ < RedrawInterval) return;
    const TerminalSize now = currentSize();
    if (!lastRedraw_ || changed_ || now != shownSize_ || (headline_ && headline_() != shownHeadline_) ||
        (status_ && status_() != shownStatus_))
        redraw(now, false);
}

void StationTableWriter::finish() {
    if (mode_ == Mode::Redraw) redraw(currentSize(), true);
    if (!failed_ && std::fflush(out_) != 0) {
        failed_ = true;
        errorNumber_ = errno;
    }
}

}  // namespace sondeco
