// SPDX-License-Identifier: GPL-3.0-or-later
// Every decoded frame into an SQLite database: the stations heard, and each frame with its header,
// its data words as received and how it was received. docs/frame-log.md describes the tables and
// gives queries.
//
// The decoders never wait for the database. A frame is queued in memory and a thread of the log's own
// writes the queue, one transaction at most a second apart and no later than a second after a frame
// came, so that a program killed (or a stream that stalls) leaves at most the last second out of the
// log. While the database cannot be written (another program holds it, the disk is full, an I/O
// error) frames wait in the queue, up to a bound, and are written once it can be; the log says so in
// one line when the trouble starts and one when it ends, with the count of frames lost past the bound.
#pragma once

#include "output/station_table.h"
#include "rtcm/decoder_listener.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace sondeco {

// The layout this program writes (PRAGMA user_version); a log of a later layout is refused, one of
// layout 1 or 2 is brought to this one when opened for writing.
inline constexpr int FrameLogVersion = 3;

// The run that writes the log, one row of its runs table that each of the run's frames names: which
// input it decoded, how that was tuned and when it was recorded, so that frames of different
// recordings in one log can be told apart.
struct FrameLogRun {
    std::string input;  // a file's name, or "standard input"
    std::optional<double> centreHz;  // an IQ stream's centre frequency
    std::optional<double> sampleRate;  // Hz
    std::optional<double> streamStart;  // when the stream began, seconds since the Unix epoch, when known
    std::string programVersion;
};

// What the run finds out about its input as it goes; the runs row is brought up to date with the
// station rows and at the end.
struct FrameLogRunFindings {
    std::optional<double> tuningOffsetHz;  // how far the beacons sit off their raster points
    std::uint64_t samples = 0;  // of the stream, so far
    std::uint64_t clippedSamples = 0;
    std::optional<double> dcOffsetDbfs;  // an IQ receiver's DC offset, dB below full scale
    std::optional<double> imageRejectionDb;  // how far below a signal its IQ imbalance puts its mirror image
};

struct FrameLogOptions {
    // The longest a frame waits in memory before its transaction, seconds. Each commit writes whole
    // database pages however few frames it holds, so a shorter wait costs disk writes.
    double commitInterval = 1.0;
    // How often the frames of the last minutes move into the indexed table, seconds (see frame_log.cpp).
    double mergeInterval = 600.0;
    // How often the station rows are written, seconds; they say up to which frame they count, and a
    // log opened after a kill brings them up to date from the frames.
    double stationInterval = 30.0;
    // Frames held in memory while the log cannot be written (192 bytes each on a 64-bit system);
    // frames past it are counted lost.
    std::size_t queueLimit = 50000;
    // How often a log that failed is tried again, seconds.
    double retryInterval = 1.0;
    // Another program may hold the log this long before the hold is reported, seconds.
    double holdReportAfter = 5.0;
    // One line (naming the file, no line end) when writing stops or starts again, when the queue
    // overflows, and nothing else. Called on the log's writer thread, never with a lock held.
    std::function<void(const std::string&)> report;
    FrameLogRun run;
};

enum class FrameLogState {
    Writing,  // frames reach the file within a second
    Held,  // another program holds the database; frames wait
    Failing,  // the database cannot be written (full disk, I/O error); frames wait
};

class FrameLog final : public DecoderListener {
public:
    // Opens `path`, creating the log when the file is missing or empty and appending when it is one
    // of ours. Check failed() at once: a file that cannot be opened, is not a database, is another
    // program's database or a later layout leaves the log failed, and every frame is counted as not
    // written.
    explicit FrameLog(const std::string& path, WallClock clock = systemWallClock, FrameLogOptions options = {});
    // finish(), if not done.
    ~FrameLog() override;
    FrameLog(const FrameLog&) = delete;
    FrameLog& operator=(const FrameLog&) = delete;

    // The log could not be opened, or (after finish) some frames could not be written; error() is then
    // one line that names the file.
    bool failed() const;
    std::string error() const;

    // Queue the frame; returns at once.
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;
    // As StationTable::framesLost: the channel at `frequencyHz` has lost this many frames in all.
    void framesLost(double frequencyHz, std::uint64_t totalLostOnThatChannel);
    // What the run has found out so far (returns at once; written with the next station rows).
    void runFindings(const FrameLogRunFindings& findings);
    // Writes what is queued now, without waiting for its second, and returns when that was tried.
    void commit();
    // The last writes, waiting up to `holdWait` seconds for a log another program holds, and the frames
    // of the last minutes moved into the indexed table. What still cannot be written is counted lost
    // and named by error(). The log takes no frames after it.
    void finish(double holdWait = 5.0);

    FrameLogState state() const;
    // Empty while frames are written; otherwise one short line for a status display ("frame log: the
    // disk is full; 120 frames wait").
    std::string statusLine() const;
    std::uint64_t framesWritten() const;  // in the file
    std::uint64_t framesNotWritten() const;  // lost past the queue's bound, at finish, or refused by a log that failed to open
    std::size_t framesWaiting() const;
    // The stations as this run knows them (decoding thread only).
    const StationTable& stations() const { return stations_; }

    static constexpr std::size_t MaxDataBytes = 31 * 3;

private:
    using Clock = std::chrono::steady_clock;

    // A frame as it will be written; the station by its index in stations_.
    struct QueuedFrame {
        Clock::time_point queuedAt;
        double time;
        std::size_t station;
        std::optional<double> frequencyHz;
        std::optional<double> ebN0Db;
        std::optional<int> bitRate;
        int stationId, messageType, zCount, sequence, length, health, repairedWords;
        std::uint8_t dataLength;
        std::array<std::uint8_t, MaxDataBytes> data;
    };
    // What one transaction came to.
    enum class Outcome { Written, Held, Failed };

    // Opening, before the writer starts.
    bool open(const std::string& path);
    bool createOrUpgradeSchema();
    bool catchUpStations();
    bool loadStations();
    bool prepare(sqlite3_stmt*& statement, const char* sql);
    void refuse(const std::string& what);

    // The writer thread. The functions that take the lock hold it on entry and return, and release
    // it while they talk to the database or report.
    void writerLoop();
    Outcome writeOnce(std::unique_lock<std::mutex>& lock, std::vector<std::string>& lines);
    Outcome mergeOnce(std::unique_lock<std::mutex>& lock);
    void say(std::unique_lock<std::mutex>& lock, std::vector<std::string>& lines);
    Clock::time_point commitDue() const;
    Clock::time_point stationsDue() const;
    bool insertStation(const StationRow& row);
    bool writeStation(std::size_t index, const StationRow& row, std::int64_t countedThrough);
    bool insertFrame(const QueuedFrame& frame);
    bool insertRun();
    bool writeRunFindings(const FrameLogRunFindings& findings);
    bool consistent(bool holds);
    // Steps a statement to its end and makes it ready for the next use; on an error, false with the
    // problem kept in lastResult_ and lastMessage_.
    bool run(sqlite3_stmt* statement);
    Outcome endTransaction(bool ok);

    // Under mutex_, from the decoding thread.
    void markStation(std::size_t index);
    bool pending() const { return !queue_.empty() || !dirtyStations_.empty() || runFindings_.has_value(); }

    std::string path_;
    WallClock clock_;
    FrameLogOptions options_;
    bool opened_ = false;  // set before the writer starts, never changed after

    // Only the writer thread touches these once it runs.
    sqlite3* database_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
    sqlite3_stmt* rollback_ = nullptr;
    sqlite3_stmt* insertFrame_ = nullptr;
    sqlite3_stmt* insertStation_ = nullptr;
    sqlite3_stmt* updateStation_ = nullptr;
    sqlite3_stmt* mergeFrames_ = nullptr;
    sqlite3_stmt* clearRecent_ = nullptr;
    sqlite3_stmt* updateRun_ = nullptr;
    std::int64_t runId_ = 0;  // this run's row
    std::vector<std::int64_t> stationRowIds_;  // the database's id of each of stations_' rows written so far
    std::int64_t nextFrameId_ = 1;
    int lastResult_ = 0;
    std::string lastMessage_;
    // Read under mutex_ by the writer's loop, written by the writer alone.
    std::uint64_t recentFrames_ = 0;  // in frames_recent
    Clock::time_point nextMerge_;

    // Only the decoding thread touches this one.
    StationTable stations_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // the writer waits on it
    std::condition_variable attempted_;  // commit() waits on it
    std::deque<QueuedFrame> queue_;
    std::map<std::size_t, StationRow> dirtyStations_;  // rows changed since last written, as they are now
    std::optional<FrameLogRunFindings> runFindings_;  // changed since last written
    Clock::time_point stationsDirtySince_;
    Clock::time_point lastStationsWritten_;
    // commit() takes a number and waits until an attempt begun after it is over and reported.
    std::uint64_t commitsAsked_ = 0;
    std::uint64_t commitsDone_ = 0;
    bool stopping_ = false;
    bool finished_ = false;
    double holdWait_ = 0.0;
    std::uint64_t framesReceived_ = 0;
    std::uint64_t framesWritten_ = 0;
    std::uint64_t framesNotWritten_ = 0;
    FrameLogState state_ = FrameLogState::Writing;
    std::string problem_;  // why the log is Failing
    std::string lastProblem_;  // the last trouble's, for the summary at the end
    Clock::time_point troubleSince_;
    bool troubleReported_ = false;
    bool overflowReported_ = false;
    std::uint64_t lostInTrouble_ = 0;  // over the queue's bound since the trouble began
    Clock::time_point retryAt_;
    std::string error_;
    std::thread writer_;
};

// The stations of a log as the live table shows them, then each station's frames by message type.
// False with `error` (one line naming the file) when the log cannot be read.
bool printStationsFromLog(const std::string& path, std::FILE* out, std::string& error);

}  // namespace sondeco
