// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/frame_log.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <utility>

namespace sondeco {

namespace {

// "Sndc": tells our logs from other programs' databases, whose user_version may be anything.
constexpr int ApplicationId = 0x536e6463;
// How long a write waits for another program holding the log (a reader checkpointing, a second
// writer) before the log gives up.
constexpr int BusyTimeoutMilliseconds = 3000;

// Every column's meaning and unit is in docs/frame-log.md; change both together, and raise
// FrameLogVersion when a change would confuse an older reader.
constexpr const char* Schema = R"sql(
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
    ebn0_db REAL
);
CREATE TABLE frames (
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
    data BLOB NOT NULL
);
CREATE INDEX frames_by_station_time ON frames(station, time);
CREATE INDEX frames_by_type_time ON frames(message_type, time);
CREATE INDEX frames_by_time ON frames(time);
)sql";

constexpr const char* StationColumns =
    "id, station_id, frequency_hz, absolute_frequency, bit_rate, first_heard, last_heard, ecef_x, ecef_y, ecef_z, health, frames, "
    "frames_repaired, frames_lost, last_message_type, ebn0_db";

// What went wrong, in words for the one-line message; SQLite's own text follows it.
std::string describe(sqlite3* database, int result) {
    const char* detail = database != nullptr ? sqlite3_errmsg(database) : sqlite3_errstr(result);
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
            return "is held by another program for more than " + std::to_string(BusyTimeoutMilliseconds / 1000) + " s";
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

FrameLog::FrameLog(const std::string& path, WallClock clock) : path_(path), clock_(clock), stations_(std::move(clock)) {
    if (!open(path)) {
        // Nothing is held open after a failure: a later attempt (or another program) finds the file as it was.
        sqlite3_close_v2(database_);
        database_ = nullptr;
    }
}

FrameLog::~FrameLog() {
    commit();
    for (sqlite3_stmt* statement : {begin_, commit_, rollback_, insertFrame_, insertStation_, updateStation_}) sqlite3_finalize(statement);
    sqlite3_close_v2(database_);
}

void FrameLog::fail(const std::string& what) {
    if (error_.empty()) error_ = path_ + ": " + what;
}

bool FrameLog::prepare(sqlite3_stmt*& statement, const char* sql) {
    const int result = sqlite3_prepare_v2(database_, sql, -1, &statement, nullptr);
    if (result == SQLITE_OK) return true;
    fail(describe(database_, result));
    return false;
}

bool FrameLog::open(const std::string& path) {
    if (isDirectory(path)) {
        fail("is a directory");
        return false;
    }
    int result = sqlite3_open_v2(path.c_str(), &database_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (result != SQLITE_OK) {
        fail(describe(database_, result));
        return false;
    }
    // SQLite falls back to reading a file it may not write; a log that cannot take frames is a failure now.
    if (sqlite3_db_readonly(database_, "main") == 1) {
        fail("cannot be written (no permission)");
        return false;
    }
    sqlite3_extended_result_codes(database_, 1);
    sqlite3_busy_timeout(database_, BusyTimeoutMilliseconds);
    if (!createOrCheckSchema()) return false;
    if (!prepare(begin_, "BEGIN IMMEDIATE") || !prepare(commit_, "COMMIT") || !prepare(rollback_, "ROLLBACK")) return false;
    if (!prepare(insertFrame_,
                 "INSERT INTO frames (time, station, station_id, frequency_hz, message_type, z_count, sequence, length, health, "
                 "bit_rate, ebn0_db, repaired_words, data) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"))
        return false;
    if (!prepare(insertStation_,
                 "INSERT INTO stations (station_id, absolute_frequency, first_heard, last_heard, health, frames, frames_repaired, "
                 "frames_lost, last_message_type) VALUES (?, ?, ?, ?, 0, 0, 0, 0, 0)"))
        return false;
    if (!prepare(updateStation_,
                 "UPDATE stations SET frequency_hz = ?, bit_rate = ?, last_heard = ?, latitude = ?, longitude = ?, height = ?, "
                 "ecef_x = ?, ecef_y = ?, ecef_z = ?, health = ?, frames = ?, frames_repaired = ?, frames_lost = ?, "
                 "last_message_type = ?, ebn0_db = ? WHERE id = ?"))
        return false;
    return loadStations();
}

bool FrameLog::createOrCheckSchema() {
    bool empty = false;
    std::string problem = checkLog(database_, true, empty);
    if (!problem.empty()) {
        fail(problem);
        return false;
    }
    // The journal mode is set only on a log of ours or a new one: another program's database is
    // never changed. WAL lets a reader (--stations, sqlite3) look while we write; NORMAL
    // synchronisation keeps every commit through a crash of this program, and fsyncs only at checkpoints.
    const auto exec = [&](const char* sql) {
        const int result = sqlite3_exec(database_, sql, nullptr, nullptr, nullptr);
        if (result != SQLITE_OK) fail(describe(database_, result));
        return result == SQLITE_OK;
    };
    if (!exec("PRAGMA journal_mode = WAL") || !exec("PRAGMA synchronous = NORMAL")) return false;
    if (!empty) return true;
    // Two programs creating one log at once: the second waits for the first's transaction, then
    // finds the tables there and appends.
    if (!exec("BEGIN IMMEDIATE")) return false;
    problem = checkLog(database_, true, empty);
    bool created = problem.empty();
    if (created && empty) {
        const std::string setup = std::string(Schema) + "PRAGMA application_id = " + std::to_string(ApplicationId) +
                                  "; PRAGMA user_version = " + std::to_string(FrameLogVersion) + ";";
        created = exec(setup.c_str());
    }
    if (!problem.empty()) fail(problem);
    if (!created) {
        sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return exec("COMMIT");
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
    fail(describe(database_, result));
    return false;
}

bool FrameLog::run(sqlite3_stmt* statement) {
    const int result = sqlite3_step(statement);
    // The problem is read before the reset, which forgets the system's reason for it.
    if (result != SQLITE_DONE) fail(describe(database_, result));
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return result == SQLITE_DONE;
}

bool FrameLog::begin() {
    if (!run(begin_)) return false;
    inTransaction_ = true;
    transactionStart_ = clock_();
    return true;
}

bool FrameLog::writeStation(std::size_t index) {
    const StationRow& row = stations_.rows()[index];
    if (index >= stationRowIds_.size()) {
        sqlite3_bind_int(insertStation_, 1, row.stationId);
        sqlite3_bind_int(insertStation_, 2, row.absoluteFrequency ? 1 : 0);
        sqlite3_bind_double(insertStation_, 3, row.firstHeard);
        sqlite3_bind_double(insertStation_, 4, row.lastHeard);
        if (!run(insertStation_)) return false;
        stationRowIds_.push_back(sqlite3_last_insert_rowid(database_));
    }
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
    sqlite3_bind_int64(update, 16, stationRowIds_[index]);
    return run(update);
}

void FrameLog::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    if (failed() || (!inTransaction_ && !begin())) {
        ++framesNotWritten_;
        return;
    }
    const std::size_t index = stations_.record(frame, message);
    if (!writeStation(index)) {
        commit();  // rolls back: the failure is recorded, and the pending frames are counted lost
        ++framesNotWritten_;
        return;
    }
    const StationRow& station = stations_.rows()[index];
    const Reception& reception = message.reception;
    // The data words as received, three bytes each, d1 first.
    std::vector<std::uint8_t> data;
    data.reserve(message.dataWords.size() * 3);
    for (std::uint32_t word : message.dataWords)
        for (int shift : {16, 8, 0}) data.push_back(static_cast<std::uint8_t>(word >> shift & 0xffu));
    sqlite3_stmt* insert = insertFrame_;
    sqlite3_bind_double(insert, 1, station.lastHeard);
    sqlite3_bind_int64(insert, 2, stationRowIds_[index]);
    sqlite3_bind_int(insert, 3, frame.stationId);
    bindOptional(insert, 4, reception.toneHz);
    sqlite3_bind_int(insert, 5, frame.messageType);
    sqlite3_bind_int(insert, 6, frame.zCount);
    sqlite3_bind_int(insert, 7, frame.sequenceNumber);
    sqlite3_bind_int(insert, 8, frame.frameLength);
    sqlite3_bind_int(insert, 9, frame.stationHealth);
    bindOptional(insert, 10, reception.bitRate);
    bindOptional(insert, 11, reception.ebN0Db);
    sqlite3_bind_int(insert, 12, reception.repairedWords);
    // An empty frame (type with no data words) still needs a non-NULL blob.
    sqlite3_bind_blob(insert, 13, data.empty() ? "" : static_cast<const void*>(data.data()), static_cast<int>(data.size()),
                      SQLITE_TRANSIENT);
    if (!run(insert)) {
        commit();
        ++framesNotWritten_;
        return;
    }
    ++pendingFrames_;
    flush();
}

void FrameLog::framesLost(double frequencyHz, std::uint64_t totalLostOnThatChannel) {
    if (failed()) return;
    const auto index = stations_.framesLost(frequencyHz, totalLostOnThatChannel);
    if (!index || (!inTransaction_ && !begin())) return;
    if (!writeStation(*index)) commit();
}

void FrameLog::flush() {
    if (inTransaction_ && clock_() - transactionStart_ >= CommitInterval) commit();
}

void FrameLog::commit() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    if (!failed() && run(commit_)) {
        framesWritten_ += pendingFrames_;
        pendingFrames_ = 0;
        return;
    }
    // A transaction that failed part way is undone as a whole: its frames are the ones not written.
    if (sqlite3_get_autocommit(database_) == 0) run(rollback_);
    framesNotWritten_ += pendingFrames_;
    pendingFrames_ = 0;
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
    sqlite3_busy_timeout(database, BusyTimeoutMilliseconds);
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
