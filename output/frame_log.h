// SPDX-License-Identifier: GPL-3.0-or-later
// Every decoded frame into an SQLite database: the stations heard, and each frame with its header,
// its data words as received and how it was received. docs/frame-log.md describes the tables and
// gives queries. Writes go in batches, one transaction committed at least once a second, so that a
// log survives the program being killed with at most the last second missing.
#pragma once

#include "output/station_table.h"
#include "rtcm/decoder_listener.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace sondeco {

// The layout this program writes (PRAGMA user_version); a log of a later layout is refused.
inline constexpr int FrameLogVersion = 1;

class FrameLog final : public DecoderListener {
public:
    // Opens `path`, creating the log when the file is missing or empty and appending when it is one
    // of ours. Check failed() at once: a file that cannot be opened, is not a database, is another
    // program's database or a later layout leaves the log failed, and every frame is counted as not
    // written.
    explicit FrameLog(const std::string& path, WallClock clock = systemWallClock);
    // Commits what is pending.
    ~FrameLog() override;
    FrameLog(const FrameLog&) = delete;
    FrameLog& operator=(const FrameLog&) = delete;

    // The first problem, as one line that names the file; the log writes nothing after it.
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }

    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;
    // As StationTable::framesLost: the channel at `frequencyHz` has lost this many frames in all.
    void framesLost(double frequencyHz, std::uint64_t totalLostOnThatChannel);
    // From the caller's loop, as often as it likes: commits when the oldest pending frame has waited
    // CommitInterval. Frames arriving commit on the same rule, so this matters when they stop coming.
    void flush();
    // Commits what is pending now.
    void commit();

    std::uint64_t framesWritten() const { return framesWritten_; }  // committed
    std::uint64_t framesNotWritten() const { return framesNotWritten_; }  // lost to an error, or refused after one
    const StationTable& stations() const { return stations_; }

    static constexpr double CommitInterval = 1.0;  // seconds

private:
    bool open(const std::string& path);
    bool createOrCheckSchema();
    bool loadStations();
    bool prepare(sqlite3_stmt*& statement, const char* sql);
    // Steps a prepared statement to its end and makes it ready for the next use; false (and failed) on an error.
    bool run(sqlite3_stmt* statement);
    bool begin();
    bool writeStation(std::size_t row);
    void fail(const std::string& what);

    std::string path_;
    WallClock clock_;
    sqlite3* database_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
    sqlite3_stmt* rollback_ = nullptr;
    sqlite3_stmt* insertFrame_ = nullptr;
    sqlite3_stmt* insertStation_ = nullptr;
    sqlite3_stmt* updateStation_ = nullptr;
    StationTable stations_;
    std::vector<std::int64_t> stationRowIds_;  // the database's id of each of stations_' rows
    bool inTransaction_ = false;
    double transactionStart_ = 0.0;
    std::uint64_t pendingFrames_ = 0;
    std::uint64_t framesWritten_ = 0;
    std::uint64_t framesNotWritten_ = 0;
    std::string error_;
};

// The stations of a log as the live table shows them, then each station's frames by message type.
// False with `error` (one line naming the file) when the log cannot be read.
bool printStationsFromLog(const std::string& path, std::FILE* out, std::string& error);

}  // namespace sondeco
