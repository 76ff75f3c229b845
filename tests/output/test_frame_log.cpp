// SPDX-License-Identifier: GPL-3.0-or-later
// The frame log: every frame read back exactly, commits each second, appending to an earlier log,
// what survives a kill and a full disk, files that are not our logs, and --stations reading one.

#include "output/frame_log.h"
#include "tests/output/station_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace sondeco {
namespace {

using testing::heardFrame;
using testing::HeardFrame;
using testing::scratchPath;

std::string freshLog(const std::string& name) {
    const auto path = scratchPath(name);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + suffix);
    return path.string();
}

// Every row of a query, its columns joined by '|'.
std::vector<std::string> query(const std::string& path, const std::string& sql) {
    sqlite3* database = nullptr;
    std::vector<std::string> rows;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    const auto addRow = [](void* to, int columns, char** values, char**) {
        std::string row;
        for (int column = 0; column < columns; ++column)
            row += (column > 0 ? "|" : "") + std::string(values[column] ? values[column] : "NULL");
        static_cast<std::vector<std::string>*>(to)->push_back(row);
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(database, sql.c_str(), addRow, &rows, nullptr), SQLITE_OK) << sqlite3_errmsg(database);
    sqlite3_close(database);
    return rows;
}

constexpr const char* FramesAsText =
    "SELECT time - 1.7e9, station_id, frequency_hz, message_type, z_count, sequence, length, health, "
    "bit_rate, ebn0_db, repaired_words, hex(data) FROM frames ORDER BY id";

// Runs `work` in a child process and returns what it wrote to its pipe.
std::string inChild(const std::function<std::string()>& work) {
    int pipeEnds[2];
    EXPECT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    if (child == 0) {
        const std::string said = work();
        _exit(write(pipeEnds[1], said.data(), said.size()) == static_cast<ssize_t>(said.size()) ? 0 : 1);
    }
    close(pipeEnds[1]);
    std::string said;
    char buffer[256];
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) said.append(buffer, static_cast<std::size_t>(got));
    close(pipeEnds[0]);
    waitpid(child, nullptr, 0);
    return said;
}

TEST(FrameLog, WritesEveryFrameExactlyCommitsEachSecondAndAppendsToAnEarlierLog) {
    const std::string path = freshLog("frames.db");
    testing::TestClock time;
    const double start = time.now;
    std::vector<HeardFrame> sent{heardFrame(17, 9, 313500.0, 100, {0x123456, 0xabcdef, 0x000001}), heardFrame(17, 6, 313510.0, 101),
                                 testing::stationFrame(17, 313505.0, 102, testing::ecefOf(59.5, 10.25, 30.0)),
                                 heardFrame(999, 1, std::nullopt, 5999, {0xffffff})};
    sent[0].message.reception.repairedWords = 2;
    sent[3].frame.stationHealth = 5;
    const std::vector<double> times{start, start + 0.5, start + 1.0, start + 1.25};
    const auto framesCommitted = [&] { return query(path, "SELECT count(*) FROM frames").at(0); };
    {
        FrameLog log(path, time.clock());
        ASSERT_FALSE(log.failed()) << log.error();
        for (std::size_t frame = 0; frame < sent.size(); ++frame) {
            time.now = times[frame];
            log.frameCompleted(sent[frame].frame, sent[frame].message);
            // Committed once the first pending frame has waited a second, not before.
            EXPECT_EQ(framesCommitted(), frame < 2 ? "0" : "3") << frame;
        }
        log.flush();
        EXPECT_EQ(framesCommitted(), "3");
        time.now += 1.0;
        log.flush();
        EXPECT_EQ(framesCommitted(), "4");
        log.framesLost(313500.0, 2);
        EXPECT_EQ(log.framesWritten(), 4u);
    }
    std::vector<std::string> expected{
        "0.0|17|313500.0|9|100|4|3|0|200|12.0|2|123456ABCDEF000001", "0.5|17|313510.0|6|101|5|0|0|200|13.0|0|",
        "1.0|17|313505.0|3|102|6|4|0|200|14.0|0|123456789ABCDEF012345678", "1.25|999|NULL|1|5999|7|1|5|NULL|NULL|0|FFFFFF"};
    EXPECT_EQ(query(path, FramesAsText), expected);
    EXPECT_EQ(query(path,
                    "SELECT station_id, frequency_hz, absolute_frequency, frames, frames_repaired, frames_lost, "
                    "round(latitude, 5), round(longitude, 5), round(height), last_message_type FROM stations ORDER BY id"),
              (std::vector<std::string>{"17|313505.0|1|3|1|2|59.5|10.25|30.0|3", "999|NULL|0|1|0|0|NULL|NULL|NULL|1"}));
    EXPECT_EQ(query(path, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
    EXPECT_EQ(query(path, "PRAGMA user_version"), std::vector<std::string>{std::to_string(FrameLogVersion)});

    // A second run appends, and a station it hears again is the same row.
    const HeardFrame again = heardFrame(17, 9, 313490.0, 200, {0x000002});
    const HeardFrame other = heardFrame(55, 3, 300000.0, 201);
    time.now += 60.0;
    std::string live;
    {
        FrameLog log(path, time.clock());
        ASSERT_FALSE(log.failed()) << log.error();
        log.frameCompleted(again.frame, again.message);
        log.frameCompleted(other.frame, other.message);
        live = log.stations().render();
    }
    expected.push_back("62.25|17|313490.0|9|200|0|1|0|200|14.0|0|000002");
    expected.push_back("62.25|55|300000.0|3|201|1|0|0|200|15.0|0|");
    EXPECT_EQ(query(path, FramesAsText), expected);
    EXPECT_EQ(query(path, "SELECT id, frames, frames_lost FROM stations"), (std::vector<std::string>{"1|4|2", "2|1|0", "3|1|0"}));
    EXPECT_EQ(query(path, "SELECT station FROM frames WHERE id > 4"), (std::vector<std::string>{"1", "3"}));

    // The log's station list is the live table, then the frames of each type.
    std::FILE* out = std::tmpfile();
    std::string error;
    ASSERT_TRUE(printStationsFromLog(path, out, error)) << error;
    std::rewind(out);
    std::string listed(4096, '\0');
    listed.resize(std::fread(listed.data(), 1, listed.size(), out));
    std::fclose(out);
    EXPECT_EQ(listed, live +
                          "\nFrames by message type:\n"
                          "300.0 kHz     055  3:1\n"
                          "313.5 kHz     017  3:1 6:1 9:2\n"
                          "-             999  1:1\n");
}

TEST(StationsCommand, ListsTheStationsOfALogAndRefusesAnythingElse) {
    const std::string path = freshLog("stations.db");
    {
        testing::TestClock time;
        FrameLog log(path, time.clock());
        const HeardFrame heard = testing::stationFrame(17, 313500.0, 1, testing::ecefOf(59.5, 10.25, 30.0));
        log.frameCompleted(heard.frame, heard.message);
    }
    const auto listed = testing::runCommand(std::string(SONDECO_DECODE) + " --stations '" + path + "'");
    EXPECT_EQ(listed.exitCode, 0) << listed.errors;
    EXPECT_EQ(testing::lines(listed.output).at(1).substr(0, 50), "313.5 kHz     017  200  11.0 dB        1        0 ") << listed.output;
    const auto refused = testing::runCommand(std::string(SONDECO_DECODE) + " --stations " SONDECO_TEST_DATA);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.errors, "sondeco-decode: " SONDECO_TEST_DATA ": is a directory\n");
}

// Times a damaged or edited log may hold, beyond any clock's: shown as unknown, with nothing undefined
// on the way (the test build stops at undefined behaviour), by --stations and by a run appending to it.
TEST(StationsCommand, ShowsTimesNoClockCouldHaveWrittenAsUnknown) {
    const std::string path = freshLog("times.db");
    testing::TestClock time;
    {
        FrameLog log(path, time.clock());
        for (int station = 1; station <= 5; ++station) {
            const HeardFrame heard = heardFrame(station, 9, 280000.0 + 10000.0 * station, station, {1});
            log.frameCompleted(heard.frame, heard.message);
        }
    }
    const auto edited = testing::runCommand("sqlite3 '" + path +
                                            "' 'UPDATE stations SET first_heard = -9e999, last_heard = CASE station_id WHEN 1 THEN 1e300 "
                                            "WHEN 2 THEN -1e300 WHEN 3 THEN 9e999 WHEN 4 THEN 1e15 ELSE 253402300799 END'");
    ASSERT_EQ(edited.exitCode, 0) << edited.errors;
    const auto listed = testing::runCommand(std::string(SONDECO_DECODE) + " --stations '" + path + "'");
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.errors, "");
    FrameLog appending(path, time.clock());
    for (const std::string& table : {listed.output, appending.stations().render()}) {
        const auto rows = testing::lines(table);
        ASSERT_GE(rows.size(), 6u) << table;
        const std::size_t column = rows[0].find("Last heard");
        std::vector<std::string> shown;
        for (std::size_t row = 1; row <= 5; ++row) shown.push_back(rows[row].substr(column, 19));
        const std::string unknown = "-                  ";
        EXPECT_EQ(shown, (std::vector<std::string>{unknown, unknown, unknown, unknown, "9999-12-31 23:59:59"})) << table;
    }
}

TEST(FrameLog, KeepsWhatWasCommittedWhenKilledAndCountsWhatAFullDiskRefused) {
    const std::string path = freshLog("killed.db");
    // The writer is killed just after its frame at 3.9 s; every frame of 2.9 s and before is safe.
    inChild([&] {
        testing::TestClock time;
        const double start = time.now;
        FrameLog log(path, time.clock());
        for (int frame = 0; frame < 40; ++frame) {
            time.now = start + 0.1 * frame;
            const HeardFrame heard = heardFrame(17, 9, 313500.0, frame, {static_cast<std::uint32_t>(frame)});
            log.frameCompleted(heard.frame, heard.message);
        }
        raise(SIGKILL);  // as abrupt as from outside: no destructor runs
        return std::string();
    });
    const auto zCounts = query(path, "SELECT z_count FROM frames ORDER BY id");
    ASSERT_GE(zCounts.size(), 30u);
    ASSERT_LT(zCounts.size(), 40u) << "the last frames were still pending";
    for (std::size_t frame = 0; frame < zCounts.size(); ++frame) EXPECT_EQ(zCounts[frame], std::to_string(frame));
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});

    // A file size limit stands in for a full disk: the log fails, says so in one line, and every frame
    // is either in the file or counted as not written.
    const std::string full = freshLog("full.db");
    const std::string report = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{256 * 1024, 256 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        testing::TestClock time;
        FrameLog log(full, time.clock());
        HeardFrame heard = heardFrame(17, 9, 313500.0, 0, std::vector<std::uint32_t>(31, 0xa5a5a5));
        int sent = 0;
        for (int after = 0; after < 3 && sent < 10000; sent += 1, after += log.failed() ? 1 : 0) {
            time.now += 0.3;
            log.frameCompleted(heard.frame, heard.message);
        }
        log.commit();
        const auto inFile = std::stoull(query(full, "SELECT count(*) FROM frames").at(0));
        const bool accounted = log.framesWritten() > 0 && log.framesNotWritten() >= 3 && sent < 10000 &&
                               log.framesWritten() + log.framesNotWritten() == static_cast<std::uint64_t>(sent) &&
                               inFile == log.framesWritten();
        return (accounted ? "accounted: " : "not accounted: ") + log.error();
    });
    EXPECT_EQ(report.find("accounted: " + full + ": cannot be written"), 0u) << report;
}

TEST(FrameLog, RefusesFilesThatAreNotItsLogsWithOneLineAndChangesNothing) {
    const std::string text = freshLog("notes.txt");
    std::ofstream(text) << "not a database\n";
    const std::string foreign = freshLog("foreign.db");
    testing::runCommand("sqlite3 '" + foreign + "' 'CREATE TABLE t (x)'");
    const std::string newer = freshLog("newer.db");
    testing::TestClock time;
    FrameLog(newer, time.clock());
    testing::runCommand("sqlite3 '" + newer + "' 'PRAGMA user_version = " + std::to_string(FrameLogVersion + 1) + "'");
    const std::string readOnly = freshLog("read-only.db");
    FrameLog(readOnly, time.clock());
    chmod(readOnly.c_str(), 0444);
    const std::string directory = scratchPath("directory").string();
    std::filesystem::create_directories(directory);

    const std::vector<std::pair<std::string, std::string>> cases{
        {text, "not a database"},
        {foreign, "is another program's database, not a frame log"},
        {newer, "is a frame log of layout " + std::to_string(FrameLogVersion + 1) + ", written by a later version"},
        {directory, "is a directory"},
        {directory + "/missing/log.db", "cannot be opened"},
        {readOnly, "cannot be written"}};
    for (const auto& [path, problem] : cases) {
        const std::string before = std::filesystem::is_regular_file(path) ? testing::readWhole(path) : "";
        // Root writes to any file: the read-only case runs as nobody.
        const std::string result = inChild([&, path = path] {
            if (path == readOnly && geteuid() == 0 && setuid(65534) != 0) return std::string("setuid failed");
            FrameLog log(path, time.clock());
            const std::string atOpen = log.error();  // known at once, before any frame comes
            const HeardFrame heard = heardFrame(17, 9, 313500.0, 0, {1});
            log.frameCompleted(heard.frame, heard.message);
            return atOpen + "|" + std::to_string(log.framesNotWritten());
        });
        EXPECT_EQ(result.find(path + ": " + problem), 0u) << result;
        EXPECT_EQ(result.find('\n'), std::string::npos) << "one line";
        EXPECT_EQ(result.substr(result.find('|')), "|1") << "the frame is counted";
        EXPECT_TRUE(before.empty() || testing::readWhole(path) == before) << path << " was changed";
        if (path == readOnly) continue;  // readable: --stations lists it
        std::string error;
        EXPECT_FALSE(printStationsFromLog(path, stdout, error));
        EXPECT_EQ(error.find(path + ": " + problem), 0u) << error;
    }
}

}  // namespace
}  // namespace sondeco
