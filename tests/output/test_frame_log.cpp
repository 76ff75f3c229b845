// SPDX-License-Identifier: GPL-3.0-or-later
// The frame log: every frame read back exactly, committed within a second with no call to the log,
// appending to an earlier log and to ones of earlier layouts, what survives a kill, another program
// holding the log, a full disk, what it writes to the disk, files that are not our logs, and --stations
// reading one.

#include "output/frame_log.h"
#include "tests/output/station_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
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

using namespace std::chrono_literals;
using Duration = std::chrono::steady_clock::duration;

// Polls `done` for up to `seconds`.
bool waitFor(const std::function<bool()>& done, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The log's report lines, as its writer thread says them.
struct Reports {
    std::mutex mutex;
    std::vector<std::string> lines;
    FrameLogOptions options(double commitInterval) {
        FrameLogOptions options;
        options.commitInterval = commitInterval;
        options.report = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
        return options;
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// Sends a frame and returns how long the decoding thread was kept.
Duration timedFrame(FrameLog& log, const HeardFrame& heard) {
    const auto before = std::chrono::steady_clock::now();
    log.frameCompleted(heard.frame, heard.message);
    return std::chrono::steady_clock::now() - before;
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
        Reports reports;
        FrameLog log(path, time.clock(), reports.options(0.5));
        ASSERT_FALSE(log.failed()) << log.error();
        const auto sentAt = std::chrono::steady_clock::now();
        for (std::size_t frame = 0; frame < sent.size(); ++frame) {
            time.now = times[frame];
            log.frameCompleted(sent[frame].frame, sent[frame].message);
        }
        // Not committed before the first frame has waited its half second; then committed with no
        // call to the log, as when the stream stalls.
        const std::string early = framesCommitted();
        if (std::chrono::steady_clock::now() - sentAt < 500ms) {
            EXPECT_EQ(early, "0");
        }
        ASSERT_TRUE(waitFor([&] { return framesCommitted() == "4"; }, 10.0)) << framesCommitted();
        EXPECT_GE(std::chrono::steady_clock::now() - sentAt, 500ms);
        log.framesLost(313500.0, 2);
        EXPECT_EQ(log.framesWritten(), 4u);
        EXPECT_EQ(reports.all(), std::vector<std::string>{});
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
    EXPECT_EQ(query(path, "PRAGMA page_size"), std::vector<std::string>{"512"});
    EXPECT_EQ(query(path, "SELECT count(*) FROM frames_recent"), std::vector<std::string>{"0"}) << "moved to the indexed table at the end";
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
    expected.push_back("61.25|17|313490.0|9|200|0|1|0|200|14.0|0|000002");
    expected.push_back("61.25|55|300000.0|3|201|1|0|0|200|15.0|0|");
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

// A station row that waits for its turn (up to half a minute, so as not to rewrite it with every
// frame) must not hold back a frame that comes after it: the frame is committed within its second,
// also while the stream stalls.
TEST(FrameLog, AFrameIsCommittedWithinItsSecondWhileAStationRowWaits) {
    const std::string path = freshLog("waiting-row.db");
    testing::TestClock time;
    Reports reports;
    FrameLog log(path, time.clock(), reports.options(0.5));
    ASSERT_FALSE(log.failed()) << log.error();
    const auto committed = [&] { return query(path, "SELECT count(*) FROM frames").at(0); };
    const HeardFrame first = heardFrame(17, 9, 313500.0, 100);
    log.frameCompleted(first.frame, first.message);
    ASSERT_TRUE(waitFor([&] { return committed() == "1"; }, 10.0));
    log.framesLost(313500.0, 1);  // the station's row changes, to be written in its own time
    std::this_thread::sleep_for(200ms);
    const HeardFrame second = heardFrame(17, 6, 313510.0, 101);
    log.frameCompleted(second.frame, second.message);
    EXPECT_TRUE(waitFor([&] { return committed() == "2"; }, 5.0)) << "the frame waited for the station row";
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
    // A frame id no log could reach: refused, before any id after it overflows.
    appending.finish();
    testing::runCommand("sqlite3 '" + path + "' 'UPDATE stations SET frames_through = 9223372036854775807 WHERE station_id = 1'");
    EXPECT_EQ(FrameLog(path, time.clock()).error(), path + ": is damaged (its frame ids are used up)");
}

// Logs of the first two layouts (the first: the indexed table alone, named frames; the second: no
// runs) are brought to this one when opened for writing: their frames kept, the new ones after them
// naming this run, and readers' queries and deletes as before.
TEST(FrameLog, BringsLogsOfEarlierLayoutsToThisOneAndKeepsTheirFrames) {
    const std::string frameColumns =
        "(id INTEGER PRIMARY KEY, time REAL NOT NULL, station INTEGER NOT NULL REFERENCES stations(id), station_id INTEGER NOT NULL, "
        "frequency_hz REAL, message_type INTEGER NOT NULL, z_count INTEGER NOT NULL, sequence INTEGER NOT NULL, length INTEGER NOT NULL, "
        "health INTEGER NOT NULL, bit_rate INTEGER, ebn0_db REAL, repaired_words INTEGER NOT NULL, data BLOB NOT NULL)";
    const std::string firstLayout =
        "PRAGMA journal_mode = WAL; CREATE TABLE stations (id INTEGER PRIMARY KEY, station_id INTEGER NOT NULL, frequency_hz REAL, "
        "absolute_frequency INTEGER NOT NULL, bit_rate INTEGER, first_heard REAL NOT NULL, last_heard REAL NOT NULL, latitude REAL, "
        "longitude REAL, height REAL, ecef_x REAL, ecef_y REAL, ecef_z REAL, health INTEGER NOT NULL, frames INTEGER NOT NULL, "
        "frames_repaired INTEGER NOT NULL, frames_lost INTEGER NOT NULL, last_message_type INTEGER NOT NULL, ebn0_db REAL); "
        "CREATE TABLE frames " +
        frameColumns +
        "; CREATE INDEX frames_by_station_time ON frames(station, time); "
        "CREATE INDEX frames_by_type_time ON frames(message_type, time); CREATE INDEX frames_by_time ON frames(time); "
        "PRAGMA application_id = 1399743587; PRAGMA user_version = 1; "
        "INSERT INTO stations VALUES (1, 17, 313500, 1, 200, 1.7e9, 1.7e9 + 1, NULL, NULL, NULL, NULL, NULL, NULL, 0, 2, 0, 0, 9, 12); "
        "INSERT INTO frames VALUES (1, 1.7e9, 1, 17, 313500, 9, 100, 4, 1, 0, 200, 12, 0, x'000001'), "
        "(2, 1.7e9 + 1, 1, 17, 313500, 9, 101, 5, 1, 0, 200, 12, 0, x'000002');";
    // The second layout as its program left it: the first's frames moved to the indexed table, and
    // recent frames beside them behind a view.
    const std::string secondLayout =
        firstLayout +
        "ALTER TABLE frames RENAME TO frames_indexed; ALTER TABLE stations ADD COLUMN frames_through INTEGER NOT NULL DEFAULT 2; "
        "CREATE TABLE frames_recent " +
        frameColumns +
        "; CREATE VIEW frames AS SELECT * FROM frames_indexed UNION ALL SELECT * FROM frames_recent; "
        "CREATE TRIGGER frames_delete INSTEAD OF DELETE ON frames BEGIN DELETE FROM frames_indexed WHERE id = OLD.id; "
        "DELETE FROM frames_recent WHERE id = OLD.id; END; PRAGMA user_version = 2;";
    for (const auto& [layout, sql] : {std::pair(1, firstLayout), std::pair(2, secondLayout)}) {
        SCOPED_TRACE("layout " + std::to_string(layout));
        const std::string path = freshLog("layout-" + std::to_string(layout) + ".db");
        const auto script = scratchPath("layout.sql");
        std::ofstream(script) << sql;
        const auto made = testing::runCommand("sqlite3 '" + path + "' < '" + script.string() + "'");
        ASSERT_EQ(made.exitCode, 0) << made.errors;
        {
            testing::TestClock time;
            FrameLogOptions options;
            options.run = FrameLogRun{"20240115T203000Z_304000_iq.wav", 304000.0, 250000.0, 1705350600.0, "9.9"};
            FrameLog log(path, time.clock(), options);
            ASSERT_FALSE(log.failed()) << log.error();
            HeardFrame heard = heardFrame(17, 9, 313510.0, 200, {3});
            heard.message.reception.time = 1705350612.5;
            log.frameCompleted(heard.frame, heard.message);
            log.runFindings(FrameLogRunFindings{-1.5, 2500000, 40, -60.25, 35.5});
        }
        EXPECT_EQ(query(path, "PRAGMA user_version"), std::vector<std::string>{std::to_string(FrameLogVersion)});
        EXPECT_EQ(query(path, "SELECT id, station, z_count, hex(data), run, time FROM frames ORDER BY id"),
                  (std::vector<std::string>{"1|1|100|000001|NULL|1700000000.0", "2|1|101|000002|NULL|1700000001.0",
                                            "3|1|200|000003|1|1705350612.5"}));
        EXPECT_EQ(
            query(path,
                  "SELECT input, centre_hz, sample_rate, stream_start, program_version, tuning_offset_hz, samples, "
                  "clipped_samples, dc_offset_dbfs, image_rejection_db FROM runs"),
            std::vector<std::string>{"20240115T203000Z_304000_iq.wav|304000.0|250000.0|1705350600.0|9.9|-1.5|2500000|40|-60.25|35.5"});
        EXPECT_EQ(query(path, "SELECT frames FROM stations"), std::vector<std::string>{"3"});
        EXPECT_EQ(query(path, "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'frames_indexed' ORDER BY name"),
                  (std::vector<std::string>{"frames_by_station_time", "frames_by_time", "frames_by_type_time"}));
        // The move of recent frames into the indexed table still lines the columns up.
        {
            FrameLogOptions options;
            options.mergeInterval = 0.0;
            FrameLog again(path, testing::TestClock().clock(), options);
            ASSERT_FALSE(again.failed()) << again.error();
        }
        EXPECT_EQ(query(path, "SELECT count(*), count(run) FROM frames_indexed"), std::vector<std::string>{"3|1"});
        EXPECT_EQ(query(path, "SELECT count(*) FROM runs"), std::vector<std::string>{"2"});
        testing::runCommand("sqlite3 '" + path + "' 'DELETE FROM frames WHERE id < 3'");
        EXPECT_EQ(query(path, "SELECT id FROM frames"), std::vector<std::string>{"3"});
        EXPECT_EQ(query(path, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    }
}

// What the log writes for a sparse band, the costliest case: a frame or two per commit, three stations
// (the bytes its write calls passed, as the system counts them, against the file it leaves). One
// commit a frame wrote about 150 times the log's size.
TEST(FrameLog, WritesAFewTimesWhatItLeavesNotAPageSetPerFrame) {
    const std::string path = freshLog("written.db");
    const std::string ratio = inChild([&] {
        const auto written = [] {
            std::ifstream io("/proc/self/io");
            std::string key;
            std::uint64_t value = 0;
            while (io >> key >> value)
                if (key == "wchar:") return value;
            return std::uint64_t{0};
        };
        const std::uint64_t before = written();
        {
            testing::TestClock time;
            // The defaults' proportions, fifty times faster.
            Reports reports;
            FrameLogOptions options = reports.options(FrameLogOptions().commitInterval / 50.0);
            options.stationInterval = FrameLogOptions().stationInterval / 50.0;
            options.mergeInterval = FrameLogOptions().mergeInterval / 50.0;
            FrameLog log(path, time.clock(), options);
            for (int frame = 0; frame < 400; ++frame) {
                time.now += 0.6;
                const HeardFrame heard = heardFrame(100 + frame % 3, frame % 5 == 0 ? 3 : 9, 290000.0 + 10000.0 * (frame % 3), frame % 6000,
                                                    {0x123456, 0x654321, static_cast<std::uint32_t>(frame)});
                log.frameCompleted(heard.frame, heard.message);
                std::this_thread::sleep_for(12ms);
            }
        }
        const double times = static_cast<double>(written() - before) / static_cast<double>(std::filesystem::file_size(path));
        return std::to_string(times);
    });
    EXPECT_LT(std::stod(ratio), 5.0) << ratio << " times the log's size";
}

TEST(FrameLog, KeepsWhatWasCommittedWhenKilledAndCountsWhatAFullDiskRefused) {
    const std::string path = freshLog("killed.db");
    // Ten frames and ten more, each ten followed by a stall of a second, then five and the kill: the
    // twenty are safe, the five were still waiting their turn. The station's row, written with the
    // first ten (the station was new), counts the others once the log is opened again.
    inChild([&] {
        testing::TestClock time;
        Reports reports;
        FrameLog log(path, time.clock(), reports.options(0.2));
        const auto send = [&](int frame) {
            time.now += 0.1;
            const HeardFrame heard = heardFrame(17, 9, 313500.0, frame, {static_cast<std::uint32_t>(frame)});
            log.frameCompleted(heard.frame, heard.message);
        };
        for (int frame = 0; frame < 20; ++frame) {
            send(frame);
            if (frame % 10 == 9) std::this_thread::sleep_for(1s);
        }
        for (int frame = 20; frame < 25; ++frame) send(frame);
        raise(SIGKILL);  // as abrupt as from outside: no destructor runs
        return std::string();
    });
    const auto zCounts = query(path, "SELECT z_count FROM frames ORDER BY id");
    ASSERT_GE(zCounts.size(), 20u);
    ASSERT_LT(zCounts.size(), 25u) << "the last frames were still pending";
    for (std::size_t frame = 0; frame < zCounts.size(); ++frame) EXPECT_EQ(zCounts[frame], std::to_string(frame));
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    const std::string station = "SELECT frames, frames_through, round(last_heard - 1.7e9, 1), last_message_type FROM stations";
    EXPECT_EQ(query(path, station), std::vector<std::string>{"10|10|1.0|9"});
    testing::TestClock later;
    FrameLog(path, later.clock()).finish();
    EXPECT_EQ(query(path, station), std::vector<std::string>{"20|20|2.0|9"});

    // A disk still full when the run ends (a file size limit stands in for it): the frames that
    // waited are counted, and the one line at the end says how many of all and why.
    const std::string full = freshLog("full.db");
    const std::string report = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        testing::TestClock time;
        Reports reports;
        FrameLog log(full, time.clock(), reports.options(0.05));
        const HeardFrame heard = heardFrame(17, 9, 313500.0, 0, std::vector<std::uint32_t>(31, 0xa5a5a5));
        for (int frame = 0; frame < 3; ++frame) log.frameCompleted(heard.frame, heard.message);
        log.commit();
        const auto size = static_cast<rlim_t>(std::filesystem::file_size(full + "-wal"));
        const rlimit limit{size, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        for (int frame = 0; frame < 7; ++frame) log.frameCompleted(heard.frame, heard.message);
        log.finish();
        // The reader below needs room for its shared memory file.
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &unlimited);
        const bool accounted =
            log.framesWritten() == 3 && log.framesNotWritten() == 7 && query(full, "SELECT count(*) FROM frames").at(0) == "3";
        return (accounted ? "accounted: " : "not accounted: ") + log.error();
    });
    EXPECT_EQ(report.find("accounted: " + full + ": 7 of 10 frames are not in it (cannot be written"), 0u) << report;
}

// Another program holds the log in a write transaction for ten seconds (a second connection, as the
// sqlite3 shell would): the decoders are never kept waiting, the hold is told once it has lasted and
// once it is over, and then every frame is in the log.
TEST(FrameLog, AnotherProgramHoldingTheLogNeverStallsTheDecodersAndLosesNothing) {
    const std::string path = freshLog("held.db");
    testing::TestClock time;
    Reports reports;
    FrameLog log(path, time.clock(), reports.options(0.2));
    ASSERT_FALSE(log.failed()) << log.error();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    // The live table, redrawn on a terminal, with the log's status under it.
    std::FILE* screen = std::tmpfile();
    StationTable table(time.clock());
    StationTableWriter writer(table, screen, StationTableWriter::Mode::Redraw, time.clock());
    writer.setStatus([&log] { return log.statusLine(); });
    const auto start = std::chrono::steady_clock::now();
    Duration longest{};
    std::uint64_t sent = 0;
    std::string shown;
    while (std::chrono::steady_clock::now() - start < 10s) {
        time.now += 0.1;
        longest = std::max(longest, timedFrame(log, heardFrame(17, 9, 313500.0, static_cast<int>(sent % 6000), {0x123456})));
        ++sent;
        if (sent == 60) shown = log.statusLine();
        writer.refresh();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_LT(longest, 200ms) << "a frame kept the decoding thread waiting";
    EXPECT_EQ(log.state(), FrameLogState::Held);
    EXPECT_EQ(query(path, "SELECT count(*) FROM frames"), std::vector<std::string>{"0"});
    EXPECT_NE(shown.find("Frame log: held by another program ("), std::string::npos) << shown;
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);

    // The line that says so follows the count, from the writer thread.
    EXPECT_TRUE(waitFor([&] { return log.framesWritten() == sent && reports.all().size() >= 2; }, 10.0))
        << log.framesWritten() << " of " << sent;
    EXPECT_EQ(query(path, "SELECT count(*) FROM frames"), std::vector<std::string>{std::to_string(sent)});
    EXPECT_EQ(log.state(), FrameLogState::Writing);
    EXPECT_EQ(log.statusLine(), "");
    time.now += 1.0;
    writer.refresh();
    const std::string drawn = testing::readWhole("/proc/self/fd/" + std::to_string(fileno(screen)));
    std::fclose(screen);
    EXPECT_NE(drawn.find("\nFrame log: held by another program ("), std::string::npos) << drawn;
    EXPECT_EQ(drawn.substr(drawn.rfind("\x1b[H")).find("Frame log"), std::string::npos) << "still shown once written again";
    const auto lines = reports.all();
    ASSERT_EQ(lines.size(), 2u) << joined(lines);
    EXPECT_EQ(lines[0].find(path + ": held by another program for 5 s; frames wait in memory until it lets go"), 0u) << lines[0];
    EXPECT_EQ(lines[1].find(path + ": logged again after "), 0u) << lines[1];
    EXPECT_NE(lines[1].find("; the " + std::to_string(sent) + " frames that waited go in now"), std::string::npos) << lines[1];
}

// A full disk where the log is: a small tmpfs of a private mount namespace when this process may
// mount (root), and in any case a file size limit. The decoders go on, the trouble is told at once and
// its end once, frames past the queue's bound are lost and counted in that line, and the rest are in
// the log in order.
TEST(FrameLog, RidesOutAFullDiskAndSaysHowManyFramesItLost) {
    enum class Disk { SizeLimit, Tmpfs };
    for (const Disk disk : {Disk::SizeLimit, Disk::Tmpfs}) {
        const std::string directory = scratchPath(disk == Disk::Tmpfs ? "tmpfs" : "limited").string();
        std::filesystem::create_directories(directory);
        const std::string path = directory + "/full.db";
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
        const std::string outcome = inChild([&]() -> std::string {
            std::signal(SIGXFSZ, SIG_IGN);
            const std::string filler = directory + "/filler";
            if (disk == Disk::Tmpfs) {
                if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                    mount("sondeco-test", directory.c_str(), "tmpfs", 0, "size=1m") != 0)
                    return "no tmpfs";
            }
            testing::TestClock time;
            Reports reports;
            FrameLogOptions options = reports.options(0.05);
            options.retryInterval = 0.1;
            options.queueLimit = 40;
            FrameLog log(path, time.clock(), options);
            if (log.failed()) return log.error();
            int sent = 0;
            Duration longest{};
            const auto send = [&] {
                time.now += 0.1;
                longest = std::max(longest, timedFrame(log, heardFrame(17, 9, 313500.0, sent++, std::vector<std::uint32_t>(31, 0x5a5a5a))));
            };
            for (int frame = 0; frame < 5; ++frame) send();
            log.commit();
            if (disk == Disk::Tmpfs) {
                // Filled to the last block.
                const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0644);
                const std::string block(4096, 'x');
                while (write(fd, block.data(), block.size()) > 0) {}
                close(fd);
            } else {
                const rlimit limit{static_cast<rlim_t>(std::filesystem::file_size(path + "-wal")), RLIM_INFINITY};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            // Frames until one does not fit (the last block of a file may still have room), each tried
            // at once; the first that fails is told as it fails.
            for (int frame = 0; frame < 100 && log.state() == FrameLogState::Writing; ++frame) {
                send();
                log.commit();
            }
            const bool toldAtOnce = reports.all().size() == 1;
            for (int frame = 0; frame < 60; ++frame) send();
            const bool failing = log.state() == FrameLogState::Failing && log.statusLine().find("Frame log: cannot be written") == 0;
            if (disk == Disk::Tmpfs) {
                std::filesystem::remove(filler);
            } else {
                const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
                setrlimit(RLIMIT_FSIZE, &unlimited);
            }
            // The line that says so is told just after the state changes, from the writer thread.
            const bool resumed = waitFor(
                [&] { return log.state() == FrameLogState::Writing && log.framesWaiting() == 0 && reports.all().size() >= 3; }, 5.0);
            const auto zCounts = query(path, "SELECT z_count FROM frames ORDER BY id");
            std::string inOrder = "in order";
            for (std::size_t frame = 0; frame < zCounts.size(); ++frame)
                if (zCounts[frame] != std::to_string(frame)) inOrder = "out of order at " + std::to_string(frame);
            // How long it lasted varies from run to run.
            std::string said = joined(reports.all());
            for (auto at = said.find("after "); at != std::string::npos; at = said.find("after ", at + 1))
                said.replace(at + 6, said.find(' ', at + 6) - at - 6, "N");
            const bool accounted =
                log.framesWritten() + log.framesNotWritten() == static_cast<std::uint64_t>(sent) && zCounts.size() == log.framesWritten();
            return std::string(toldAtOnce ? "told at once" : "not told") + ", " + (failing ? "failing" : "not failing") + ", " +
                   (resumed ? "resumed" : "not resumed") + ", " + (longest < 200ms ? "never waited" : "waited") + ", " +
                   (accounted ? "each frame in the file or lost, " : "frames unaccounted, ") + inOrder + ", lost " +
                   std::to_string(log.framesNotWritten()) + "\n" + said;
        });
        if (outcome == "no tmpfs") continue;  // not root: the size limit alone
        // The frame that failed waits, and 39 of the 60 after it: 21 lost. A file over its size limit
        // is an I/O error to SQLite, not a full disk.
        const std::string problem = disk == Disk::Tmpfs ? ": the disk is full" : " (disk I/O error)";
        EXPECT_EQ(outcome, "told at once, failing, resumed, never waited, each frame in the file or lost, in order, lost 21\n" + path +
                               ": cannot be written" + problem + "; frames wait in memory (up to 40) and it is tried again every 0.1 s\n" +
                               path + ": more than 40 frames wait; newer frames are not logged until it can be written\n" + path +
                               ": logged again after N s; the 40 frames that waited go in now, 21 more were lost (over 40 waiting)\n")
            << (disk == Disk::Tmpfs ? "tmpfs" : "size limit");
    }
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
