// SPDX-License-Identifier: GPL-3.0-or-later
// The stations heard, one row each: where each beacon is on the band, how well it comes in, what it
// last sent and where its reference station stands. One table listens to the decoders of every
// channel at once and tells the stations apart by carrier frequency and station ID; the live view
// (StationTableWriter) and the frame log's station list (frame_log.h) show the same rows.
#pragma once

#include "rtcm/decoder_listener.h"
#include "rtcm/reference_station.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sondeco {

// Seconds since the Unix epoch. Injected wherever time is recorded, so that tests decide what time it is.
using WallClock = std::function<double()>;
double systemWallClock();

// Two frames with the same station ID whose frequencies differ by no more than this come from one
// station. The receiver's tone estimate wanders by a few hertz from frame to frame; beacons on the
// band stand at least 500 Hz apart.
inline constexpr double SameStationToleranceHz = 150.0;

struct StationRow {
    std::optional<double> frequencyHz;  // as the last frame was received; empty for an RTCM byte stream
    bool absoluteFrequency = false;  // frequencyHz is the carrier's radio frequency, not an offset or tone
    int stationId = 0;  // 0..1023
    std::optional<int> bitRate;  // bit/s
    std::optional<double> ebN0Db;  // the last frame's estimate
    std::uint64_t frames = 0;  // frames decoded, the repaired ones included
    std::uint64_t framesRepaired = 0;  // frames in which at least one word passed only after repair
    std::uint64_t framesLost = 0;  // frames of this station that ended with a word lost
    std::array<std::uint64_t, 64> framesByType{};
    int lastMessageType = 0;
    double firstHeard = 0.0;  // seconds since the Unix epoch
    double lastHeard = 0.0;
    std::optional<ReferenceStationPosition> stationEcef;  // from the last whole type 3 or 32
    std::optional<GeodeticPosition> stationPosition;  // the same on WGS-84
    int health = 0;  // the last header's station health, 0..7
};

// The WGS-84 position of an ECEF point, or nothing for a point too near the Earth's centre to be a
// station (a transmitter that sends zeros instead of its position).
std::optional<GeodeticPosition> stationPositionOf(const ReferenceStationPosition& ecef);

// "313.5 kHz" for a carrier's radio frequency, "+1500 Hz" for a tone or an offset from the tuning, "-"
// when unknown.
std::string formatStationFrequency(std::optional<double> frequencyHz, bool absolute);
// "2024-05-01 12:34:56", UTC; "-" for a time outside 1970 to 9999 (a damaged log's, say), which
// would not fit the table's column or a time_t.
std::string formatUtcTime(double unixSeconds);

// Frequency order, stations of unknown frequency last; station ID between stations of one frequency.
void sortStationRows(std::vector<StationRow>& rows);

// The widest line of the full layout (a station whose health reads "Unmonitored"); a terminal at
// least this wide gets it.
inline constexpr int FullStationTableColumns = 116;

// The table as text: a header line, then one line per station in order of frequency (stations of
// unknown frequency last), fixed columns, each line ending in '\n'. Narrower than
// FullStationTableColumns, a layout of at most 79 columns that leaves out the reference station's
// position and shows the time of day alone, so that a station takes one line of an 80-column
// terminal. Times are UTC.
std::string renderStationTable(std::vector<StationRow> rows, int columns = FullStationTableColumns);

class StationTable final : public DecoderListener {
public:
    explicit StationTable(WallClock clock = systemWallClock);

    // Counts the frame for its station, making a row when the station is new. Returns that row's index.
    std::size_t record(const RtcmFrame& frame, const DecodedMessage& message);
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override { record(frame, message); }

    // The decoder of the channel at `frequencyHz` has lost `totalLostOnThatChannel` frames since it
    // started (its statistics' framesLost). What is new since the last call goes to the station last
    // heard at that frequency, or, while none has been, to the first one that will be. Returns the
    // row that was charged, if any.
    std::optional<std::size_t> framesLost(double frequencyHz, std::uint64_t totalLostOnThatChannel);

    // A row as it was, from an earlier run (the frame log appends to what it holds). Returns its index.
    std::size_t restore(const StationRow& row);

    // In order of first heard; indexes stay valid for the table's life.
    const std::vector<StationRow>& rows() const { return rows_; }
    std::string render() const { return renderStationTable(rows_); }
    double now() const { return clock_(); }

private:
    // A decoder's channel as framesLost knows it.
    struct Channel {
        double frequencyHz;
        std::uint64_t totalLost;  // as last reported
        std::uint64_t unattributed;  // lost before any station was heard there
    };

    std::optional<std::size_t> findStation(std::optional<double> frequencyHz, bool absolute, int stationId) const;
    std::optional<std::size_t> lastHeardAt(double frequencyHz) const;

    WallClock clock_;
    std::vector<StationRow> rows_;
    std::vector<Channel> channels_;
};

// A terminal's size in character cells.
struct TerminalSize {
    int columns = 80;
    int rows = 24;
    bool operator==(const TerminalSize&) const = default;
};

// The size of the terminal `fd` is open on, as the terminal says it now; for what it does not say (not
// a terminal, a serial console that answers 0x0), the COLUMNS and LINES environment variables, and
// failing those 80x24.
TerminalSize terminalSize(int fd);

// Shows the table live. On a terminal the table is redrawn in place, at most a few times a second and
// once at the end; into a pipe or a file, one plain line per frame instead (time, frequency, station,
// type, ...), so that what is written can be searched line by line. Add the table to the decoders
// before the writer, so that a redraw shows the frame that caused it.
//
// A redraw fits the terminal as it is at that moment: the full layout when it is wide enough, the
// 80-column one otherwise; no line wider than the terminal and no more lines than it has rows (the
// stations that do not fit are counted in one line), so that the terminal never scrolls and nothing
// of the live view ends up in its scrollback. The last redraw, at finish(), shows every station and
// ends with a line end, and stays on the screen after the program.
class StationTableWriter final : public DecoderListener {
public:
    enum class Mode { Automatic, Redraw, Lines };  // Automatic: Redraw on a terminal, Lines otherwise

    StationTableWriter(const StationTable& table, std::FILE* out, Mode mode = Mode::Automatic, WallClock clock = systemWallClock);

    Mode mode() const { return mode_; }
    // The output was closed or failed, and the system's error number then.
    bool failed() const { return failed_; }
    int errorNumber() const { return errorNumber_; }

    // Redraws at this size instead of asking the terminal (for tests, whose output is a file).
    void setTerminalSize(TerminalSize size) { fixedSize_ = size; }

    // The first line of the screen, above the table: how the run goes (the stream's time, channels
    // searched, "searching" before the first frame), as the caller words it. Drawn from the first
    // refresh() on, before any frame.
    void setHeadline(std::function<std::string()> headline) { headline_ = std::move(headline); }
    // One short line under the table (the frame log's trouble, say).
    void setStatus(std::function<std::string()> status) { status_ = std::move(status); }
    // Both are asked at every refresh, so that a change shows even when no frame comes, and left out
    // while empty. Neither is written into a pipe or a file, where the lines of the frames go.

    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;
    // From the caller's loop: draws the screen the first time, then redraws it when the table, a line
    // or the terminal's size has changed and the last redraw is old enough.
    void refresh();
    // The last redraw, whatever the time (on a terminal), and a flush.
    void finish();

    // Shortest time between two redraws, seconds.
    static constexpr double RedrawInterval = 0.25;

private:
    TerminalSize currentSize() const { return fixedSize_ ? *fixedSize_ : terminalSize(fileno(out_)); }
    void redraw(TerminalSize size, bool last);
    void write(const std::string& text);

    const StationTable& table_;
    std::FILE* out_;
    Mode mode_;
    WallClock clock_;
    std::optional<TerminalSize> fixedSize_;
    std::optional<double> lastRedraw_;
    bool changed_ = false;
    std::function<std::string()> headline_;
    std::function<std::string()> status_;
    std::string shownHeadline_;
    std::string shownStatus_;
    TerminalSize shownSize_;
    bool failed_ = false;
    int errorNumber_ = 0;
};

// One plain line for a frame, as the piped view writes it (no line end). Its time is UTC and says so.
std::string formatFrameLine(double unixSeconds, const RtcmFrame& frame, const DecodedMessage& message);

}  // namespace sondeco
