// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: any bytes as a frame log file, read the two ways the programs read one: listed by
// printStationsFromLog (`sondeco-decode --stations FILE.db`), and opened by FrameLog to append to
// (`--log FILE.db` on a file that is there), a few frames appended if it was taken. A log is a file
// anyone may hand over, copied off another machine, cut short by a full disk or written by another
// program; SQLite reads its schema from the file itself, so the tables and views our queries name are
// whatever the file says they are.
//
// The input is the file's bytes, and one more byte at the end that says what to do: bit 0 lists the
// stations, bit 1 opens the file as a log, bits 2-3 append that many frames (of stations taken from
// the byte), bit 4 lists the stations again afterwards.
//
// Beyond never crashing, hanging (libFuzzer's timeout) or hitting undefined behaviour:
// - a refusal, to list or to append, names the file, and is one line as the programs print it (SQLite
//   quotes a damaged schema over several lines: regressions/.../damaged-schema-quoted-over-several-lines);
// - listing only reads: the file's bytes are the same afterwards;
// - another program's database (tables, an application ID or a version that SQLite itself reads
//   as not ours), and a log of a layout this program does not know, is refused and left as it was,
//   byte for byte, for whoever it belongs to;
// - a listing that works ends in a line end.

#include "output/frame_log.h"
#include "tests/fuzz/fuzz_support.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace sondeco;

// A directory of our own for the log and the files SQLite keeps beside it (-wal, -shm, -journal),
// in memory where the system has a tmpfs: every run writes the file afresh.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/sondeco-fuzz-log-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~ScratchDirectory() {
        clear();
        rmdir(path_.c_str());
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    std::string log() const { return path_ + "/log.db"; }
    // Removes the log and what SQLite keeps beside it, or only the latter.
    void clear(bool log = true) const {
        for (const char* suffix : {"-wal", "-shm", "-journal"}) std::remove((this->log() + suffix).c_str());
        if (log) std::remove(this->log().c_str());
    }

private:
    std::string path_;
};

// Whether SQLite, asked directly, reads the file as a database that is not a log of ours: one with
// tables, an application ID or a version, where the ID is not ours ("Sndc") or the version not a
// layout this program knows. False when SQLite cannot tell (a damaged file), for an empty database
// (which becomes a new log) and for our own logs.
bool foreignDatabase(const std::string& path) {
    sqlite3* database = nullptr;
    if (sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(database);
        return false;
    }
    std::int64_t values[3] = {};
    bool read = true;
    const char* queries[3] = {"SELECT count(*) FROM sqlite_master", "PRAGMA application_id", "PRAGMA user_version"};
    for (int q = 0; q < 3 && read; ++q) {
        sqlite3_stmt* statement = nullptr;
        read = sqlite3_prepare_v2(database, queries[q], -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW;
        if (read) values[q] = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(database);
    const auto [tables, application, version] = values;
    const bool empty = tables == 0 && application == 0 && version == 0;
    return read && !empty && (application != 0x536e6463 || version < 1 || version > FrameLogVersion);
}

std::vector<std::uint8_t> contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// One line that names the file, as sondeco-decode prints it after its own name.
void checkProblem(const std::string& problem, const std::string& path) {
    FUZZ_CHECK(problem.size() > path.size() + 2 && problem.compare(0, path.size() + 2, path + ": ") == 0);
    FUZZ_CHECK(problem.find('\n') == std::string::npos && problem.find('\r') == std::string::npos);
}

// Lists the stations; returns the listing, or nothing when the log could not be read.
bool listStations(const std::string& path, std::string& listing) {
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    FUZZ_CHECK(out != nullptr);
    std::string problem;
    const bool listed = printStationsFromLog(path, out, problem);
    std::fclose(out);
    listing.assign(text, length);
    std::free(text);
    if (listed) {
        FUZZ_CHECK(!listing.empty() && listing.back() == '\n');
    } else {
        checkProblem(problem, path);
        FUZZ_CHECK(listing.empty());
    }
    return listed;
}

// A frame of station `stationId` as a receiver hands it over.
void appendFrame(FrameLog& log, int stationId, int index) {
    RtcmFrame frame;
    frame.messageType = index % 2 == 0 ? 9 : 3;
    frame.stationId = stationId;
    frame.zCount = 100 * index;
    frame.sequenceNumber = index % 8;
    frame.frameLength = 2;
    frame.stationHealth = 0;
    DecodedMessage message;
    message.dataWords = {0x123456, 0x789abc};
    message.reception.toneHz = 300500.0;
    message.reception.absoluteFrequency = true;
    message.reception.bitRate = 100;
    message.reception.ebN0Db = 12.5;
    message.reception.repairedWords = index % 2;
    log.frameCompleted(frame, message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const ScratchDirectory directory;
    const std::uint8_t what = data[size - 1];
    const std::vector<std::uint8_t> bytes(data, data + size - 1);
    const std::string path = directory.log();
    directory.clear();
    {
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        FUZZ_CHECK(file.good());
    }

    std::string listing;
    if (what & 1u) {
        listStations(path, listing);
        FUZZ_CHECK(contents(path) == bytes);
    }
    if (what & 2u) {
        const bool foreign = foreignDatabase(path);
        directory.clear(false);  // what that look left beside the file
        // A clock that says 2024; the log takes the time of each frame from it. The frames are
        // written when the log is closed at the latest.
        FrameLog log(path, [] { return 1.7e9; });
        if (foreign) FUZZ_CHECK(log.failed() && contents(path) == bytes);
        if (log.failed()) {
            checkProblem(log.error(), path);
            return 0;
        }
        const int frames = (what >> 2) & 3;
        for (int i = 0; i < frames; ++i) appendFrame(log, (what >> 5) * 100 + i, i);
    }
    if (what & 16u) listStations(path, listing);
    return 0;
}
