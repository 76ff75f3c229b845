// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/frame_log.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <map>
#include <utility>

namespace sondeco {

// How the log spares the disk. A small monitoring computer writes to an SD card, and SQLite writes
// whole pages: every transaction puts each page it changed into the write-ahead log, and a checkpoint
// later copies it into the database. Three things keep that near the size of what is added:
//
// - One transaction a second at most (the queue), not one per frame or per block of the stream.
// - Small pages (512 bytes) in a new log, so that a transaction that adds two frames writes two or
//   three small pages instead of 4 KB ones.
// - Frames go first into frames_recent, which has no index: a transaction changes only its last page
//   and the station rows. Every few minutes (mergeInterval) they move in one transaction into
//   frames_indexed, whose three indexes would otherwise each change a page or more per transaction;
//   moved a few hundred at a time, an index page is written about once. The view `frames` shows both
//   tables as one, so a reader sees every frame at once.
//
// Checkpoints come every 2 MB of write-ahead log, so that a page changed many times between two of
// them is copied into the database once. docs/frame-log.md has the measured figures.

namespace {

// "Sndc": tells our logs from other programs' databases, whose user_version may be anything.
constexpr int ApplicationId = 0x536e6463;
// How long opening waits for another program holding the log (a second writer creating it too); the
// decoders have not started yet.
constexpr int OpenBusyMilliseconds = 3000;
// How long one attempt of the writer thread waits for it; then it tries again a little later.
constexpr int WriterBusyMilliseconds = 100;
constexpr auto HeldRetry = std::chrono::milliseconds(250);
constexpr int NewLogPageSize = 512;
constexpr std::int64_t CheckpointBytes = 2 << 20;
// Frames per transaction while a backlog is written, so that the decoding thread never waits long
// for the queue's lock while a batch is taken.
constexpr std::size_t BatchLimit = 5000;
// A move into the indexed table that failed is tried again after this long (its frames are safe where they are).
constexpr auto MergeRetry = std::chrono::seconds(30);

// Every column's meaning and unit is in docs/frame-log.md; change both together, and raise
// FrameLogVersion when a change would confuse an older reader.
constexpr const char* StationsTable = R"sql(
CREATE TABLE stations (
    id INTEGER PRIMARY KEY,
    station_id INTEGER NOT NULL,
    frequency_hz REAL,
    absolute_frequency INTEGER NOT NULL,
    bit_rate INTEGER,
    first_heard REAL NOT NULL,
    last_heard REAL NOT NULL,
    latitude REAL,
    longitude REAL,
    height REAL,
    ecef_x REAL,
    ecef_y REAL,
    ecef_z REAL,
    health INTEGER NOT NULL,
    frames INTEGER NOT NULL,
    frames_repaired INTEGER NOT NULL,
    frames_lost INTEGER NOT NULL,
    last_message_type INTEGER NOT NULL,
    ebn0_db REAL,
    frames_through INTEGER NOT NULL DEFAULT 0
);
)sql";

constexpr const char* FrameColumns = R"sql((
    id INTEGER PRIMARY KEY,
    time REAL NOT NULL,
    station INTEGER NOT NULL REFERENCES stations(id),
    station_id INTEGER NOT NULL,
    frequency_hz REAL,
    message_type INTEGER NOT NULL,
    z_count INTEGER NOT NULL,
    sequence INTEGER NOT NULL,
    length INTEGER NOT NULL,
    health INTEGER NOT NULL,
    bit_rate INTEGER,
    ebn0_db REAL,
    repaired_words INTEGER NOT NULL,
    data BLOB NOT NULL,
    run INTEGER REFERENCES runs(id)
);
)sql";

// Layout 3: each run of the program that wrote frames, and the run of each frame (NULL for frames
// logged before layout 3).
constexpr const char* RunsTable = R"sql(
CREATE TABLE runs (
    id INTEGER PRIMARY KEY,
    started REAL NOT NULL,
    input TEXT NOT NULL,
    centre_hz REAL,
    sample_rate REAL,
    stream_start REAL,
    program_version TEXT NOT NULL,
    tuning_offset_hz REAL,
    samples INTEGER,
    clipped_samples INTEGER,
    dc_offset_dbfs REAL,
    image_rejection_db REAL
);
)sql";

constexpr const char* FrameIndexes = R"sql(
CREATE INDEX frames_by_station_time ON frames_indexed(station, time);
CREATE INDEX frames_by_type_time ON frames_indexed(message_type, time);
CREATE INDEX frames_by_time ON frames_indexed(time);
)sql";

// What layout 2 adds to layout 1, whose frames table becomes frames_indexed. Deleting from the view
// deletes from both tables, so that pruning old frames works as it did on a table.
constexpr const char* RecentFramesAndView = R"sql(
CREATE VIEW frames AS SELECT * FROM frames_indexed UNION ALL SELECT * FROM frames_recent;
CREATE TRIGGER frames_delete INSTEAD OF DELETE ON frames BEGIN
    DELETE FROM frames_indexed WHERE id = OLD.id;
    DELETE FROM frames_recent WHERE id = OLD.id;
END;
)sql";

std::string layoutTwoAdditions() { return std::string("CREATE TABLE frames_recent ") + FrameColumns + RecentFramesAndView; }

std::string newLogSchema() {
    return std::string(StationsTable) + RunsTable + "CREATE TABLE frames_indexed " + FrameColumns + FrameIndexes + layoutTwoAdditions();
}

constexpr const char* StationColumns =
    "id, station_id, frequency_hz, absolute_frequency, bit_rate, first_heard, last_heard, ecef_x, ecef_y, ecef_z, health, frames, "
    "frames_repaired, frames_lost, last_message_type, ebn0_db";

// What went wrong, in words for the one-line message; SQLite's own text follows it.
std::string describe(sqlite3* database, int result) {
    // SQLite's message may quote a damaged schema, line ends and all; a problem is one line.
    std::string text = database != nullptr ? sqlite3_errmsg(database) : sqlite3_errstr(result);
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    const char* detail = text.c_str();
    switch (result & 0xff) {
        case SQLITE_NOTADB:
            return "not a database";
        case SQLITE_CANTOPEN:
            return std::string("cannot be opened (") + detail + ")";
        case SQLITE_READONLY:
            return std::string("cannot be written (") + detail + ")";
        case SQLITE_PERM:
            return std::string("cannot be written (") + detail + ")";
        case SQLITE_FULL:
            return "cannot be written: the disk is full";
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return "is held by another program for more than " + std::to_string(OpenBusyMilliseconds / 1000) + " s";
        case SQLITE_CORRUPT:
            return std::string("is damaged (") + detail + ")";
        case SQLITE_IOERR: {
            const bool writing = result == SQLITE_IOERR_WRITE || result == SQLITE_IOERR_FSYNC || result == SQLITE_IOERR_TRUNCATE ||
                                 result == SQLITE_IOERR_DIR_FSYNC;
            return (writing ? "cannot be written (" : "cannot be read or written (") + std::string(detail) + ")";
        }
        default:
            return detail;
    }
}

bool isHeld(int result) { return (result & 0xff) == SQLITE_BUSY || (result & 0xff) == SQLITE_LOCKED; }

std::chrono::steady_clock::duration seconds(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(value));
}

// How long a trouble has lasted, in whole seconds.
std::string secondsText(std::chrono::steady_clock::duration duration) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count()) + " s";
}

std::string intervalText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

// One statement, finalized on every path out.
class Statement {
public:
    Statement(sqlite3* database, const char* sql) { result_ = sqlite3_prepare_v2(database, sql, -1, &statement_, nullptr); }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    int result() const { return result_; }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return result_ == SQLITE_OK ? sqlite3_step(statement_) : result_; }
    sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3_stmt* statement_ = nullptr;
    int result_;
};

// The single integer a pragma or a count gives, or the error code.
std::pair<int, std::int64_t> queryInteger(sqlite3* database, const char* sql) {
    Statement statement(database, sql);
    const int result = statement.step();
    if (result != SQLITE_ROW) return {result == SQLITE_DONE ? SQLITE_ERROR : result, 0};
    return {SQLITE_OK, sqlite3_column_int64(statement.get(), 0)};
}

std::optional<double> columnDouble(sqlite3_stmt* statement, int column) {
    if (sqlite3_column_type(statement, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_double(statement, column);
}

std::uint64_t columnCount(sqlite3_stmt* statement, int column) {
    return static_cast<std::uint64_t>(std::max<sqlite3_int64>(0, sqlite3_column_int64(statement, column)));
}

// A row of the stations table, read with StationColumns. Returns the database id.
std::int64_t readStationRow(sqlite3_stmt* statement, StationRow& row) {
    row.stationId = sqlite3_column_int(statement, 1);
    row.frequencyHz = columnDouble(statement, 2);
    row.absoluteFrequency = sqlite3_column_int(statement, 3) != 0;
    if (sqlite3_column_type(statement, 4) != SQLITE_NULL) row.bitRate = sqlite3_column_int(statement, 4);
    row.firstHeard = sqlite3_column_double(statement, 5);
    row.lastHeard = sqlite3_column_double(statement, 6);
    const auto x = columnDouble(statement, 7);
    const auto y = columnDouble(statement, 8);
    const auto z = columnDouble(statement, 9);
    if (x && y && z) {
        row.stationEcef = ReferenceStationPosition{*x, *y, *z};
        row.stationPosition = stationPositionOf(*row.stationEcef);
    }
    row.health = sqlite3_column_int(statement, 10);
    row.frames = columnCount(statement, 11);
    row.framesRepaired = columnCount(statement, 12);
    row.framesLost = columnCount(statement, 13);
    row.lastMessageType = sqlite3_column_int(statement, 14);
    row.ebN0Db = columnDouble(statement, 15);
    return sqlite3_column_int64(statement, 0);
}

void bindOptional(sqlite3_stmt* statement, int index, std::optional<double> value) {
    if (value) {
        sqlite3_bind_double(statement, index, *value);
    } else {
        sqlite3_bind_null(statement, index);
    }
}

void bindOptional(sqlite3_stmt* statement, int index, std::optional<int> value) {
    if (value) {
        sqlite3_bind_int(statement, index, *value);
    } else {
        sqlite3_bind_null(statement, index);
    }
}

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Whether `database` is a log this program can read: one of ours, of a layout it knows. An empty
// database is one only when `emptyIsFine`. Returns the problem, empty when there is none.
std::string checkLog(sqlite3* database, bool emptyIsFine, bool& empty) {
    const auto [tablesResult, tables] = queryInteger(database, "SELECT count(*) FROM sqlite_master");
    if (tablesResult != SQLITE_OK) return describe(database, tablesResult);
    const auto [applicationResult, application] = queryInteger(database, "PRAGMA application_id");
    const auto [versionResult, version] = queryInteger(database, "PRAGMA user_version");
    if (applicationResult != SQLITE_OK) return describe(database, applicationResult);
    if (versionResult != SQLITE_OK) return describe(database, versionResult);
    empty = tables == 0 && application == 0 && version == 0;
    if (empty) return emptyIsFine ? std::string() : "is an empty database, not a frame log";
    if (application != ApplicationId) return "is another program's database, not a frame log";
    if (version > FrameLogVersion)
        return "is a frame log of layout " + std::to_string(version) + ", written by a later version; this one knows layout " +
               std::to_string(FrameLogVersion);
    if (version < 1) return "is a frame log of unknown layout " + std::to_string(version);
    return {};
}

}  // namespace

FrameLog::FrameLog(const std::string& path, WallClock clock, FrameLogOptions options)
    : path_(path), clock_(clock), options_(std::move(options)), stations_(std::move(clock)) {
    if (!open(path)) {
        // Nothing is held open after a failure: a later attempt (or another program) finds the file as it was.
        for (sqlite3_stmt* statement :
             {begin_, commit_, rollback_, insertFrame_, insertStation_, updateStation_, mergeFrames_, clearRecent_, updateRun_})
            sqlite3_finalize(statement);
        begin_ = commit_ = rollback_ = insertFrame_ = insertStation_ = updateStation_ = mergeFrames_ = clearRecent_ = updateRun_ = nullptr;
        sqlite3_close_v2(database_);
        database_ = nullptr;
        state_ = FrameLogState::Failing;
        return;
    }
    opened_ = true;
    // From here on a busy database is the writer thread's to wait for, briefly and again later.
    sqlite3_busy_timeout(database_, WriterBusyMilliseconds);
    retryAt_ = Clock::now();
    writer_ = std::thread([this] { writerLoop(); });
}

FrameLog::~FrameLog() { finish(); }

void FrameLog::refuse(const std::string& what) {
    if (error_.empty()) error_ = path_ + ": " + what;
}

bool FrameLog::prepare(sqlite3_stmt*& statement, const char* sql) {
    const int result = sqlite3_prepare_v2(database_, sql, -1, &statement, nullptr);
    if (result == SQLITE_OK) return true;
    refuse(describe(database_, result));
    return false;
}

bool FrameLog::open(const std::string& path) {
    if (isDirectory(path)) {
        refuse("is a directory");
        return false;
    }
    int result = sqlite3_open_v2(path.c_str(), &database_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (result != SQLITE_OK) {
        refuse(describe(database_, result));
        return false;
    }
    // SQLite falls back to reading a file it may not write; a log that cannot take frames is a failure now.
    if (sqlite3_db_readonly(database_, "main") == 1) {
        refuse("cannot be written (no permission)");
        return false;
    }
    sqlite3_extended_result_codes(database_, 1);
    sqlite3_busy_timeout(database_, OpenBusyMilliseconds);
    if (!createOrUpgradeSchema()) return false;
    if (!prepare(begin_, "BEGIN IMMEDIATE") || !prepare(commit_, "COMMIT") || !prepare(rollback_, "ROLLBACK")) return false;
    if (!prepare(insertFrame_,
                 "INSERT INTO frames_recent (id, time, station, station_id, frequency_hz, message_type, z_count, sequence, length, "
                 "health, bit_rate, ebn0_db, repaired_words, data, run) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"))
        return false;
    if (!prepare(updateRun_,
                 "UPDATE runs SET tuning_offset_hz = ?, samples = ?, clipped_samples = ?, dc_offset_dbfs = ?, image_rejection_db = ? "
                 "WHERE id = ?") ||
        !insertRun())
        return false;
    if (!prepare(insertStation_,
                 "INSERT INTO stations (station_id, absolute_frequency, first_heard, last_heard, health, frames, frames_repaired, "
                 "frames_lost, last_message_type) VALUES (?, ?, ?, ?, 0, 0, 0, 0, 0)"))
        return false;
    if (!prepare(updateStation_,
                 "UPDATE stations SET frequency_hz = ?, bit_rate = ?, last_heard = ?, latitude = ?, longitude = ?, height = ?, "
                 "ecef_x = ?, ecef_y = ?, ecef_z = ?, health = ?, frames = ?, frames_repaired = ?, frames_lost = ?, "
                 "last_message_type = ?, ebn0_db = ?, frames_through = ? WHERE id = ?"))
        return false;
    if (!prepare(mergeFrames_, "INSERT INTO frames_indexed SELECT * FROM frames_recent ORDER BY id") ||
        !prepare(clearRecent_, "DELETE FROM frames_recent"))
        return false;
    if (!catchUpStations() || !loadStations()) return false;
    // No id is given twice, not even one a station row counted for a frame that never got in.
    // (Each table's own max(id) is a look at its last row; the view's would read every row.)
    const auto [lastResult, lastId] =
        queryInteger(database_,
                     "SELECT max((SELECT coalesce(max(id), 0) FROM frames_indexed), (SELECT coalesce(max(id), 0) "
                     "FROM frames_recent), (SELECT coalesce(max(frames_through), 0) FROM stations))");
    const auto [recentResult, recent] = queryInteger(database_, "SELECT count(*) FROM frames_recent");
    for (int failure : {lastResult, recentResult}) {
        if (failure == SQLITE_OK) continue;
        refuse(describe(database_, failure));
        return false;
    }
    // A damaged or crafted log could name an id that leaves no room to count on.
    if (lastId > std::numeric_limits<std::int64_t>::max() / 2) {
        refuse("is damaged (its frame ids are used up)");
        return false;
    }
    nextFrameId_ = lastId + 1;
    recentFrames_ = static_cast<std::uint64_t>(recent);
    // Frames left in frames_recent by a run that was killed move at once.
    nextMerge_ = Clock::now() + (recentFrames_ > 0 ? Clock::duration::zero() : seconds(options_.mergeInterval));
    return true;
}

bool FrameLog::createOrUpgradeSchema() {
    bool empty = false;
    std::string problem = checkLog(database_, true, empty);
    if (!problem.empty()) {
        refuse(problem);
        return false;
    }
    const auto exec = [&](const std::string& sql) {
        const int result = sqlite3_exec(database_, sql.c_str(), nullptr, nullptr, nullptr);
        if (result != SQLITE_OK) refuse(describe(database_, result));
        return result == SQLITE_OK;
    };
    // The page size is chosen before anything is written (the journal mode writes the header); an
    // older log keeps the one it has. The journal mode is set only on a log of ours or a new one:
    // another program's database is never changed. WAL lets a reader (--stations, sqlite3) look while
    // we write; NORMAL synchronisation keeps every commit through a crash of this program, and fsyncs
    // only at checkpoints.
    if (empty && !exec("PRAGMA page_size = " + std::to_string(NewLogPageSize))) return false;
    if (!exec("PRAGMA journal_mode = WAL") || !exec("PRAGMA synchronous = NORMAL")) return false;
    const auto [pageResult, pageSize] = queryInteger(database_, "PRAGMA page_size");
    if (pageResult != SQLITE_OK || pageSize <= 0) {
        refuse(describe(database_, pageResult));
        return false;
    }
    if (!exec("PRAGMA wal_autocheckpoint = " + std::to_string(CheckpointBytes / pageSize)) ||
        !exec("PRAGMA journal_size_limit = " + std::to_string(2 * CheckpointBytes)))
        return false;
    const auto [versionResult, version] = queryInteger(database_, "PRAGMA user_version");
    if (!empty && version == FrameLogVersion) return true;
    // Two programs creating (or upgrading) one log at once: the second waits for the first's
    // transaction, then finds the tables there and appends.
    if (!exec("BEGIN IMMEDIATE")) return false;
    problem = checkLog(database_, true, empty);
    const auto [againResult, versionNow] = queryInteger(database_, "PRAGMA user_version");
    bool done = problem.empty() && againResult == SQLITE_OK;
    const std::string stamp =
        "PRAGMA application_id = " + std::to_string(ApplicationId) + "; PRAGMA user_version = " + std::to_string(FrameLogVersion) + ";";
    if (done && empty) {
        done = exec(newLogSchema() + stamp);
    } else if (done && versionNow == 1) {
        // Layout 1 had the indexed table alone, named frames; its indexes follow it to the new name. Its
        // station rows count every frame it holds. The recent frames' table is made as layout 3 has it.
        done =
            exec(std::string(RunsTable) +
                 "ALTER TABLE frames RENAME TO frames_indexed; ALTER TABLE stations ADD COLUMN frames_through INTEGER NOT NULL DEFAULT 0; "
                 "UPDATE stations SET frames_through = (SELECT coalesce(max(id), 0) FROM frames_indexed); "
                 "ALTER TABLE frames_indexed ADD COLUMN run INTEGER REFERENCES runs(id);" +
                 layoutTwoAdditions() + stamp);
    } else if (done && versionNow == 2) {
        // Both frame tables gain the column last, as a new log has it, so that the view's union and
        // the move from one to the other still line up.
        done = exec(std::string(RunsTable) +
                    "ALTER TABLE frames_indexed ADD COLUMN run INTEGER REFERENCES runs(id); "
                    "ALTER TABLE frames_recent ADD COLUMN run INTEGER REFERENCES runs(id);" +
                    stamp);
    }
    if (!problem.empty()) refuse(problem);
    if (againResult != SQLITE_OK) refuse(describe(database_, againResult));
    if (!done) {
        sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return exec("COMMIT");
}

// Station rows are written every stationInterval, not with every frame, and each says up to which
// frame it counts. A run that was killed leaves frames past that; their counts, last heard, type,
// health, frequency, rate and Eb/N0 are added here as the run would have. (Frames lost and a position
// received in those last seconds are not in the frames and stay as written.) Every station with a
// frame not yet counted is written whenever any is, so the greatest frames_through of all is where
// the frames to add begin; they are found by id, at the end of each table.
bool FrameLog::catchUpStations() {
    constexpr const char* Sql = R"sql(
WITH through(id) AS (SELECT coalesce(max(frames_through), 0) FROM stations),
newer AS (SELECT * FROM frames_indexed WHERE id > (SELECT id FROM through)
          UNION ALL SELECT * FROM frames_recent WHERE id > (SELECT id FROM through)),
counts AS (SELECT station, count(*) AS n, sum(repaired_words > 0) AS repaired, max(id) AS last,
                  max(CASE WHEN ebn0_db IS NOT NULL THEN id END) AS lastWithEbn0 FROM newer GROUP BY station)
UPDATE stations SET frames = stations.frames + counts.n, frames_repaired = stations.frames_repaired + counts.repaired,
    (last_heard, frequency_hz, bit_rate, last_message_type, health) = (SELECT f.time, f.frequency_hz,
        coalesce(f.bit_rate, stations.bit_rate), f.message_type, f.health FROM newer f WHERE f.id = counts.last),
    ebn0_db = coalesce((SELECT f.ebn0_db FROM newer f WHERE f.id = counts.lastWithEbn0), stations.ebn0_db), frames_through = counts.last
FROM counts WHERE counts.station = stations.id
)sql";
    const int result = sqlite3_exec(database_, Sql, nullptr, nullptr, nullptr);
    if (result == SQLITE_OK) return true;
    refuse(describe(database_, result));
    return false;
}

bool FrameLog::loadStations() {
    Statement select(database_, (std::string("SELECT ") + StationColumns + " FROM stations ORDER BY id").c_str());
    int result = select.step();
    while (result == SQLITE_ROW) {
        StationRow row;
        stationRowIds_.push_back(readStationRow(select.get(), row));
        stations_.restore(row);
        result = select.step();
    }
    if (result == SQLITE_DONE) return true;
    refuse(describe(database_, result));
    return false;
}

// ---- The decoding thread's side: everything returns at once. ----

void FrameLog::markStation(std::size_t index) {
    if (dirtyStations_.empty()) stationsDirtySince_ = Clock::now();
    dirtyStations_.insert_or_assign(index, stations_.rows()[index]);
}

void FrameLog::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    if (!opened_) {
        std::lock_guard lock(mutex_);
        ++framesReceived_;
        ++framesNotWritten_;
        return;
    }
    const std::size_t index = stations_.record(frame, message);
    const Reception& reception = message.reception;
    QueuedFrame queued{};
    // A frame held back a while (its station's first, until it is known not to be an image) keeps
    // the time it was received.
    queued.time = reception.time.value_or(stations_.rows()[index].lastHeard);
    queued.station = index;
    queued.frequencyHz = reception.toneHz;
    queued.ebN0Db = reception.ebN0Db;
    queued.bitRate = reception.bitRate;
    queued.stationId = frame.stationId;
    queued.messageType = frame.messageType;
    queued.zCount = frame.zCount;
    queued.sequence = frame.sequenceNumber;
    queued.length = frame.frameLength;
    queued.health = frame.stationHealth;
    queued.repairedWords = reception.repairedWords;
    // The data words as received, three bytes each, d1 first.
    for (std::uint32_t word : message.dataWords) {
        if (queued.dataLength + 3u > queued.data.size()) break;
        for (int shift : {16, 8, 0}) queued.data[queued.dataLength++] = static_cast<std::uint8_t>(word >> shift & 0xffu);
    }
    std::lock_guard lock(mutex_);
    ++framesReceived_;
    if (stopping_) {
        ++framesNotWritten_;
        return;
    }
    // The writer sleeps until the earliest thing due; a first frame in an empty queue is due sooner
    // than station rows alone (a second against up to half a minute), so it wakes the writer to look
    // again even when rows were already pending.
    const bool firstInQueue = queue_.empty();
    if (queue_.size() >= options_.queueLimit) {
        // Past the bound the newest frames are the ones lost: those already waiting keep their order,
        // and the station row still counts the frame.
        ++framesNotWritten_;
        ++lostInTrouble_;
        markStation(index);
        if (!overflowReported_) wake_.notify_one();
        return;
    }
    queued.queuedAt = Clock::now();
    queue_.push_back(queued);
    markStation(index);
    if (firstInQueue) wake_.notify_one();
}

void FrameLog::framesLost(double frequencyHz, std::uint64_t totalLostOnThatChannel) {
    const auto index = stations_.framesLost(frequencyHz, totalLostOnThatChannel);
    if (!index) return;
    std::lock_guard lock(mutex_);
    if (!opened_ || stopping_) return;
    // The run's findings alone never wake the writer: they go with the rows.
    const bool wasIdle = queue_.empty() && dirtyStations_.empty();
    markStation(*index);
    if (wasIdle) wake_.notify_one();
}

void FrameLog::runFindings(const FrameLogRunFindings& findings) {
    std::lock_guard lock(mutex_);
    if (opened_ && !stopping_) runFindings_ = findings;
}

void FrameLog::commit() {
    std::unique_lock lock(mutex_);
    if (!writer_.joinable() || stopping_ || !pending()) return;
    const std::uint64_t ticket = ++commitsAsked_;
    wake_.notify_one();
    attempted_.wait(lock, [&] { return commitsDone_ >= ticket || stopping_; });
}

void FrameLog::finish(double holdWait) {
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        stopping_ = true;
        holdWait_ = holdWait;
        wake_.notify_one();
        attempted_.notify_all();
    }
    if (writer_.joinable()) writer_.join();
    for (sqlite3_stmt* statement :
         {begin_, commit_, rollback_, insertFrame_, insertStation_, updateStation_, mergeFrames_, clearRecent_, updateRun_})
        sqlite3_finalize(statement);
    begin_ = commit_ = rollback_ = insertFrame_ = insertStation_ = updateStation_ = mergeFrames_ = clearRecent_ = updateRun_ = nullptr;
    sqlite3_close_v2(database_);
    std::lock_guard lock(mutex_);
    finished_ = true;
    if (error_.empty() && framesNotWritten_ > 0)
        error_ = path_ + ": " + std::to_string(framesNotWritten_) + " of " + std::to_string(framesReceived_) + " frames are not in it" +
                 (lastProblem_.empty() ? std::string() : " (" + lastProblem_ + ")");
}

bool FrameLog::failed() const {
    std::lock_guard lock(mutex_);
    return !error_.empty();
}

std::string FrameLog::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

FrameLogState FrameLog::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::uint64_t FrameLog::framesWritten() const {
    std::lock_guard lock(mutex_);
    return framesWritten_;
}

std::uint64_t FrameLog::framesNotWritten() const {
    std::lock_guard lock(mutex_);
    return framesNotWritten_;
}

std::size_t FrameLog::framesWaiting() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::string FrameLog::statusLine() const {
    std::lock_guard lock(mutex_);
    if (!opened_ || state_ == FrameLogState::Writing) return {};
    const auto since = Clock::now() - troubleSince_;
    // A hold of a moment (another program's short write) is not worth a line.
    if (state_ == FrameLogState::Held && since < std::chrono::seconds(1)) return {};
    std::string line = "Frame log: " + (state_ == FrameLogState::Held ? std::string("held by another program") : problem_) + " (" +
                       secondsText(since) + "); " + std::to_string(queue_.size()) + " frames wait";
    if (lostInTrouble_ > 0) line += ", " + std::to_string(lostInTrouble_) + " lost";
    return line;
}

// ---- The writer thread. ----

FrameLog::Clock::time_point FrameLog::stationsDue() const {
    return std::max(stationsDirtySince_ + seconds(options_.commitInterval), lastStationsWritten_ + seconds(options_.stationInterval));
}

// Only while something is pending.
FrameLog::Clock::time_point FrameLog::commitDue() const {
    Clock::time_point due = Clock::time_point::max();
    if (!queue_.empty()) due = queue_.front().queuedAt + seconds(options_.commitInterval);
    if (!dirtyStations_.empty()) due = std::min(due, stationsDue());
    return std::max(due, retryAt_);
}

void FrameLog::say(std::unique_lock<std::mutex>& lock, std::vector<std::string>& lines) {
    if (lines.empty() || !options_.report) {
        lines.clear();
        return;
    }
    lock.unlock();
    for (const std::string& line : lines) options_.report(line);
    lines.clear();
    lock.lock();
}

void FrameLog::writerLoop() {
    std::vector<std::string> lines;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (lostInTrouble_ > 0 && !overflowReported_) {
            overflowReported_ = true;
            lines.push_back(path_ + ": more than " + std::to_string(options_.queueLimit) +
                            " frames wait; newer frames are not logged until it can be written");
            say(lock, lines);
            continue;
        }
        const auto now = Clock::now();
        if (pending() && (commitsDone_ < commitsAsked_ || now >= commitDue())) {
            writeOnce(lock, lines);
            continue;
        }
        if (recentFrames_ > 0 && state_ == FrameLogState::Writing && now >= nextMerge_) {
            mergeOnce(lock);
            continue;
        }
        auto wakeAt = now + std::chrono::hours(1);
        if (pending()) wakeAt = std::min(wakeAt, commitDue());
        if (recentFrames_ > 0) wakeAt = std::min(wakeAt, nextMerge_);
        wake_.wait_until(lock, wakeAt);
    }
    // Stopping: what waits is written, another program's hold waited out up to holdWait_; a log that
    // fails now is tried once more, not for long, since nothing will free the disk while we wait.
    const auto giveUpAt = Clock::now() + seconds(holdWait_);
    bool tried = false;
    while (pending()) {
        const Outcome outcome = writeOnce(lock, lines);
        if (outcome == Outcome::Written) continue;
        if ((outcome == Outcome::Failed && tried) || Clock::now() >= giveUpAt) break;
        tried = tried || outcome == Outcome::Failed;
        lock.unlock();
        std::this_thread::sleep_for(HeldRetry);
        lock.lock();
    }
    while (!pending() && recentFrames_ > 0) {
        if (mergeOnce(lock) != Outcome::Held || Clock::now() >= giveUpAt) break;
        lock.unlock();
        std::this_thread::sleep_for(HeldRetry);
        lock.lock();
    }
    framesNotWritten_ += queue_.size();
    queue_.clear();
    dirtyStations_.clear();
    runFindings_.reset();
}

FrameLog::Outcome FrameLog::writeOnce(std::unique_lock<std::mutex>& lock, std::vector<std::string>& lines) {
    const std::size_t count = std::min(queue_.size(), BatchLimit);
    const std::vector<QueuedFrame> batch(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
    // The station rows go with the frames when their time has come, when a station is new (its frames
    // need its row), when asked and at the end.
    std::map<std::size_t, StationRow> stations;
    std::optional<FrameLogRunFindings> findings;
    const bool newStation = !dirtyStations_.empty() && dirtyStations_.rbegin()->first >= stationRowIds_.size();
    const auto now = Clock::now();
    if (newStation || stopping_ || commitsDone_ < commitsAsked_ || now >= stationsDue()) {
        stations.swap(dirtyStations_);
        findings.swap(runFindings_);
        lastStationsWritten_ = now;
    }
    // The rows count every frame queued so far, which take the ids from nextFrameId_ on in order:
    // the last of them is the row's frames_through, even if a later batch writes it or it never is.
    const std::int64_t countedThrough = nextFrameId_ + static_cast<std::int64_t>(queue_.size()) - 1;
    const Clock::time_point stationsSince = stationsDirtySince_;
    const std::uint64_t commitsServed = commitsAsked_;
    const bool wholeQueue = count == queue_.size();
    lock.unlock();

    const std::size_t knownStations = stationRowIds_.size();
    const std::int64_t firstId = nextFrameId_;
    bool ok = run(begin_);
    // New stations first (in the order they were heard, so that a row's index is its place), then the
    // frames that name them, then every changed row as it is now.
    for (const auto& [index, row] : stations)
        if (ok && index >= stationRowIds_.size()) ok = consistent(index == stationRowIds_.size()) && insertStation(row);
    for (const QueuedFrame& frame : batch)
        if (ok) ok = consistent(frame.station < stationRowIds_.size()) && insertFrame(frame);
    for (const auto& [index, row] : stations)
        if (ok) ok = writeStation(index, row, countedThrough);
    if (ok && findings) ok = writeRunFindings(*findings);
    const Outcome outcome = endTransaction(ok);
    if (outcome == Outcome::Written) {
        recentFrames_ += count;
    } else {
        stationRowIds_.resize(knownStations);
        nextFrameId_ = firstId;
    }

    lock.lock();
    const auto done = Clock::now();
    if (outcome == Outcome::Written) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
        framesWritten_ += count;
        if (state_ != FrameLogState::Writing) {
            if (troubleReported_ || lostInTrouble_ > 0) {
                std::string line = path_ + ": logged again after " + secondsText(done - troubleSince_) + "; the " +
                                   std::to_string(count + queue_.size()) + " frames that waited go in now";
                if (lostInTrouble_ > 0)
                    line += ", " + std::to_string(lostInTrouble_) + " more were lost (over " + std::to_string(options_.queueLimit) +
                            " waiting)";
                lines.push_back(line);
            }
            state_ = FrameLogState::Writing;
            problem_.clear();
            troubleReported_ = false;
        }
        if (lostInTrouble_ > 0 && queue_.size() < options_.queueLimit) {
            lostInTrouble_ = 0;
            overflowReported_ = false;
        }
        retryAt_ = done;
    } else {
        // The rows stay to be written; a row changed meanwhile is newer than the one taken back.
        const bool changedMeanwhile = !dirtyStations_.empty();
        for (auto& [index, row] : stations) dirtyStations_.try_emplace(index, std::move(row));
        if (findings && !runFindings_) runFindings_ = findings;
        if (!stations.empty()) {
            stationsDirtySince_ = changedMeanwhile ? std::min(stationsDirtySince_, stationsSince) : stationsSince;
            lastStationsWritten_ = Clock::time_point();
        }
        if (state_ == FrameLogState::Writing) troubleSince_ = done;
        if (outcome == Outcome::Held) {
            state_ = FrameLogState::Held;
            lastProblem_ = "held by another program";
            retryAt_ = done + HeldRetry;
            if (!troubleReported_ && done - troubleSince_ >= seconds(options_.holdReportAfter)) {
                troubleReported_ = true;
                lines.push_back(path_ + ": held by another program for " + secondsText(done - troubleSince_) +
                                "; frames wait in memory until it lets go");
            }
        } else {
            const std::string problem = lastMessage_.empty() ? std::string("cannot be written") : lastMessage_;
            if (state_ != FrameLogState::Failing || !troubleReported_) {
                troubleReported_ = true;
                lines.push_back(path_ + ": " + problem + "; frames wait in memory (up to " + std::to_string(options_.queueLimit) +
                                ") and it is tried again every " + intervalText(options_.retryInterval));
            }
            state_ = FrameLogState::Failing;
            problem_ = problem;
            lastProblem_ = problem;
            retryAt_ = done + seconds(options_.retryInterval);
        }
    }
    say(lock, lines);
    // A commit asked for is done when this attempt failed or took all that was queued.
    if (outcome != Outcome::Written || wholeQueue) commitsDone_ = std::max(commitsDone_, commitsServed);
    attempted_.notify_all();
    return outcome;
}

FrameLog::Outcome FrameLog::mergeOnce(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    const Outcome outcome = endTransaction(run(begin_) && run(mergeFrames_) && run(clearRecent_));
    if (outcome == Outcome::Written) recentFrames_ = 0;
    lock.lock();
    // A move that failed leaves the frames where readers see them; the next frames' transaction
    // reports a disk that is full.
    nextMerge_ = Clock::now() + (outcome == Outcome::Written ? seconds(options_.mergeInterval) : MergeRetry);
    return outcome;
}

bool FrameLog::run(sqlite3_stmt* statement) {
    const int result = sqlite3_step(statement);
    // The problem is read before the reset, which forgets the system's reason for it.
    if (result != SQLITE_DONE) {
        lastResult_ = result;
        lastMessage_ = describe(database_, result);
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return result == SQLITE_DONE;
}

FrameLog::Outcome FrameLog::endTransaction(bool ok) {
    if (ok && run(commit_)) return Outcome::Written;
    // A transaction that failed part way is undone as a whole; its frames stay queued.
    if (sqlite3_get_autocommit(database_) == 0) {
        sqlite3_step(rollback_);
        sqlite3_reset(rollback_);
    }
    return isHeld(lastResult_) ? Outcome::Held : Outcome::Failed;
}

bool FrameLog::insertStation(const StationRow& row) {
    sqlite3_bind_int(insertStation_, 1, row.stationId);
    sqlite3_bind_int(insertStation_, 2, row.absoluteFrequency ? 1 : 0);
    sqlite3_bind_double(insertStation_, 3, row.firstHeard);
    sqlite3_bind_double(insertStation_, 4, row.lastHeard);
    if (!run(insertStation_)) return false;
    stationRowIds_.push_back(sqlite3_last_insert_rowid(database_));
    return true;
}

bool FrameLog::writeStation(std::size_t index, const StationRow& row, std::int64_t countedThrough) {
    sqlite3_stmt* update = updateStation_;
    bindOptional(update, 1, row.frequencyHz);
    bindOptional(update, 2, row.bitRate);
    sqlite3_bind_double(update, 3, row.lastHeard);
    const auto& position = row.stationPosition;
    bindOptional(update, 4, position ? std::optional(position->latitude) : std::nullopt);
    bindOptional(update, 5, position ? std::optional(position->longitude) : std::nullopt);
    bindOptional(update, 6, position ? std::optional(position->height) : std::nullopt);
    const auto& ecef = row.stationEcef;
    bindOptional(update, 7, ecef ? std::optional(ecef->x) : std::nullopt);
    bindOptional(update, 8, ecef ? std::optional(ecef->y) : std::nullopt);
    bindOptional(update, 9, ecef ? std::optional(ecef->z) : std::nullopt);
    sqlite3_bind_int(update, 10, row.health);
    sqlite3_bind_int64(update, 11, static_cast<sqlite3_int64>(row.frames));
    sqlite3_bind_int64(update, 12, static_cast<sqlite3_int64>(row.framesRepaired));
    sqlite3_bind_int64(update, 13, static_cast<sqlite3_int64>(row.framesLost));
    sqlite3_bind_int(update, 14, row.lastMessageType);
    bindOptional(update, 15, row.ebN0Db);
    sqlite3_bind_int64(update, 16, countedThrough);
    sqlite3_bind_int64(update, 17, stationRowIds_[index]);
    return run(update);
}

// A station's row is written before its frames; were it not, the frames would name no row.
bool FrameLog::consistent(bool holds) {
    if (holds) return true;
    lastResult_ = SQLITE_INTERNAL;
    lastMessage_ = "cannot be written (a frame of a station without a row)";
    return false;
}

bool FrameLog::insertFrame(const QueuedFrame& frame) {
    sqlite3_stmt* insert = insertFrame_;
    sqlite3_bind_int64(insert, 1, nextFrameId_);
    sqlite3_bind_double(insert, 2, frame.time);
    sqlite3_bind_int64(insert, 3, stationRowIds_[frame.station]);
    sqlite3_bind_int(insert, 4, frame.stationId);
    bindOptional(insert, 5, frame.frequencyHz);
    sqlite3_bind_int(insert, 6, frame.messageType);
    sqlite3_bind_int(insert, 7, frame.zCount);
    sqlite3_bind_int(insert, 8, frame.sequence);
    sqlite3_bind_int(insert, 9, frame.length);
    sqlite3_bind_int(insert, 10, frame.health);
    bindOptional(insert, 11, frame.bitRate);
    bindOptional(insert, 12, frame.ebN0Db);
    sqlite3_bind_int(insert, 13, frame.repairedWords);
    // An empty frame (type with no data words) still needs a non-NULL blob.
    sqlite3_bind_blob(insert, 14, frame.dataLength == 0 ? "" : static_cast<const void*>(frame.data.data()), frame.dataLength,
                      SQLITE_STATIC);
    sqlite3_bind_int64(insert, 15, runId_);
    if (!run(insert)) return false;
    ++nextFrameId_;
    return true;
}

// At opening, before the writer starts: the run's row, which its frames name.
bool FrameLog::insertRun() {
    Statement insert(database_,
                     "INSERT INTO runs (started, input, centre_hz, sample_rate, stream_start, program_version) VALUES (?, ?, ?, ?, ?, ?)");
    if (insert.result() == SQLITE_OK) {
        const FrameLogRun& run = options_.run;
        sqlite3_bind_double(insert.get(), 1, systemWallClock());
        sqlite3_bind_text(insert.get(), 2, run.input.c_str(), -1, SQLITE_TRANSIENT);
        bindOptional(insert.get(), 3, run.centreHz);
        bindOptional(insert.get(), 4, run.sampleRate);
        bindOptional(insert.get(), 5, run.streamStart);
        sqlite3_bind_text(insert.get(), 6, run.programVersion.c_str(), -1, SQLITE_TRANSIENT);
    }
    const int result = insert.step();
    if (result != SQLITE_DONE) {
        refuse(describe(database_, result));
        return false;
    }
    runId_ = sqlite3_last_insert_rowid(database_);
    return true;
}

bool FrameLog::writeRunFindings(const FrameLogRunFindings& findings) {
    bindOptional(updateRun_, 1, findings.tuningOffsetHz);
    sqlite3_bind_int64(updateRun_, 2, static_cast<sqlite3_int64>(findings.samples));
    sqlite3_bind_int64(updateRun_, 3, static_cast<sqlite3_int64>(findings.clippedSamples));
    bindOptional(updateRun_, 4, findings.dcOffsetDbfs);
    bindOptional(updateRun_, 5, findings.imageRejectionDb);
    sqlite3_bind_int64(updateRun_, 6, runId_);
    return run(updateRun_);
}

bool printStationsFromLog(const std::string& path, std::FILE* out, std::string& error) {
    sqlite3* database = nullptr;
    const auto problem = [&](const std::string& what) {
        error = path + ": " + what;
        sqlite3_close_v2(database);
        return false;
    };
    if (isDirectory(path)) return problem("is a directory");
    const int result = sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
    if (result != SQLITE_OK) return problem(describe(database, result));
    sqlite3_busy_timeout(database, OpenBusyMilliseconds);
    bool empty = false;
    if (const std::string notALog = checkLog(database, false, empty); !notALog.empty()) return problem(notALog);

    std::vector<StationRow> rows;
    std::map<std::int64_t, std::size_t> rowOfId;
    Statement stations(database, (std::string("SELECT ") + StationColumns + " FROM stations ORDER BY id").c_str());
    int step = stations.step();
    for (; step == SQLITE_ROW; step = stations.step()) {
        StationRow row;
        rowOfId[readStationRow(stations.get(), row)] = rows.size();
        rows.push_back(std::move(row));
    }
    if (step != SQLITE_DONE) return problem(describe(database, step));
    Statement types(database, "SELECT station, message_type, count(*) FROM frames GROUP BY station, message_type");
    for (step = types.step(); step == SQLITE_ROW; step = types.step()) {
        const auto row = rowOfId.find(sqlite3_column_int64(types.get(), 0));
        const int type = sqlite3_column_int(types.get(), 1);
        if (row != rowOfId.end() && type >= 0 && type < 64)
            rows[row->second].framesByType[static_cast<std::size_t>(type)] = columnCount(types.get(), 2);
    }
    if (step != SQLITE_DONE) return problem(describe(database, step));
    sqlite3_close_v2(database);

    std::string text = renderStationTable(rows);
    if (!rows.empty()) {
        text += "\nFrames by message type:\n";
        sortStationRows(rows);
        for (const StationRow& row : rows) {
            char station[48];
            std::snprintf(station, sizeof station, "%-12s  %03d ", formatStationFrequency(row.frequencyHz, row.absoluteFrequency).c_str(),
                          row.stationId);
            text += station;
            for (std::size_t type = 0; type < row.framesByType.size(); ++type)
                if (row.framesByType[type] > 0) {
                    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) inside "literal" + string.
                    text += ' ';
                    text += std::to_string(type);
                    text += ':';
                    text += std::to_string(row.framesByType[type]);
                }
            text += '\n';
        }
    }
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
        error = path + ": the station list could not be written out";
        return false;
    }
    return true;
}

}  // namespace sondeco
