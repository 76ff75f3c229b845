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
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(database, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(database);
    std::vector<std::string> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        std::string row;
        for (int column = 0; column < sqlite3_column_count(statement); ++column) {
            const auto* text = sqlite3_column_text(statement, column);
            row += (column > 0 ? "|" : "") + std::string(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    sqlite3_close(database);
    return rows;
}

constexpr const char* FramesAsText =
    "SELECT printf('%.1f', time), station_id, frequency_hz, message_type, z_count, sequence, length, "
    "health, bit_rate, ebn0_db, repaired_words, hex(data) FROM frames ORDER BY id";

// The row FramesAsText should give for a frame logged at `time`.
std::string expectedRow(double time, const HeardFrame& heard) {
    const Reception& reception = heard.message.reception;
    char text[200];
    std::snprintf(text, sizeof text, "%.1f|%d|%s|%d|%d|%d|%d|%d|%s|%s|%d|", time, heard.frame.stationId,
                  reception.toneHz ? (std::to_string(static_cast<int>(*reception.toneHz)) + ".0").c_str() : "NULL", heard.frame.messageType,
                  heard.frame.zCount, heard.frame.sequenceNumber, heard.frame.frameLength, heard.frame.stationHealth,
                  reception.bitRate ? std::to_string(*reception.bitRate).c_str() : "NULL",
                  reception.ebN0Db ? (std::to_string(static_cast<int>(*reception.ebN0Db)) + ".0").c_str() : "NULL",
                  reception.repairedWords);
    std::string row = text;
    for (std::uint32_t word : heard.message.dataWords) {
        std::snprintf(text, sizeof text, "%06X", word);
        row += text;
    }
    return row;
}

// What printStationsFromLog writes for the log.
std::string stationsListed(const std::string& path) {
    std::FILE* out = std::tmpfile();
    std::string error;
    EXPECT_TRUE(printStationsFromLog(path, out, error)) << error;
    std::rewind(out);
    std::string printed(8192, '\0');
    printed.resize(std::fread(printed.data(), 1, printed.size(), out));
    std::fclose(out);
    return printed;
}

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
    const std::vector<double> times{start, start + 0.5, start + 1.0, start + 1.1};
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
    std::vector<std::string> expected;
    for (std::size_t frame = 0; frame < sent.size(); ++frame) expected.push_back(expectedRow(times[frame], sent[frame]));
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
    expected.push_back(expectedRow(time.now, again));
    expected.push_back(expectedRow(time.now, other));
    EXPECT_EQ(query(path, FramesAsText), expected);
    EXPECT_EQ(query(path, "SELECT station, station_id FROM frames ORDER BY id"),
              (std::vector<std::string>{"1|17", "1|17", "1|17", "2|999", "1|17", "3|55"}));
    EXPECT_EQ(query(path, "SELECT frames, frames_lost FROM stations ORDER BY id"), (std::vector<std::string>{"4|2", "1|0", "1|0"}));

    // The log's station list is the live table, then the frames of each type.
    EXPECT_EQ(stationsListed(path), live +
                                        "\nFrames by message type:\n"
                                        "300.0 kHz     055  3:1\n"
                                        "313.5 kHz     017  3:1 6:1 9:2\n"
                                        "-             999  1:1\n");
}

TEST(StationsCommand, ListsTheStationsOfALogAndRefusesAnythingElse) {
    const std::string path = freshLog("stations.db");
    {
        FrameLog log(path, testing::TestClock().clock());
        const HeardFrame heard = testing::stationFrame(17, 313500.0, 1, testing::ecefOf(59.5, 10.25, 30.0));
        log.frameCompleted(heard.frame, heard.message);
    }
    const auto listed = testing::runCommand(std::string(SONDECO_DECODE) + " --stations '" + path + "'");
    EXPECT_EQ(listed.exitCode, 0) << listed.errors;
    EXPECT_EQ(listed.output, stationsListed(path));
    EXPECT_NE(listed.output.find("313.5 kHz     017"), std::string::npos) << listed.output;
    const auto refused = testing::runCommand(std::string(SONDECO_DECODE) + " --stations " SONDECO_TEST_DATA);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.errors, "sondeco-decode: " SONDECO_TEST_DATA ": is a directory\n");
}

TEST(FrameLog, KeepsWhatWasCommittedWhenKilledAndCountsWhatAFullDiskRefused) {
    const std::string path = freshLog("killed.db");
    // The writer is killed just after its frame at 3.9 s; every frame of 2.9 s and before is safe.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        testing::TestClock time;
        const double start = time.now;
        FrameLog log(path, time.clock());
        for (int frame = 0; frame < 40; ++frame) {
            time.now = start + 0.1 * frame;
            const HeardFrame heard = heardFrame(17, 9, 313500.0, frame, {static_cast<std::uint32_t>(frame)});
            log.frameCompleted(heard.frame, heard.message);
        }
        if (write(ready[1], "k", 1) == 1) pause();
        _exit(1);
    }
    char signal = 0;
    ASSERT_EQ(read(ready[0], &signal, 1), 1);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
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
        return std::to_string(sent) + " " + std::to_string(log.framesWritten()) + " " + std::to_string(log.framesNotWritten()) + " " +
               log.error();
    });
    int sent = 0;
    int written = 0;
    int notWritten = 0;
    char error[200] = {};
    ASSERT_EQ(std::sscanf(report.c_str(), "%d %d %d %199[^\n]", &sent, &written, &notWritten, error), 4) << report;
    EXPECT_LT(sent, 10000) << "the limit was never reached";
    EXPECT_GT(written, 0);
    EXPECT_GE(notWritten, 3);
    EXPECT_EQ(written + notWritten, sent);
    EXPECT_EQ(query(full, "SELECT count(*) FROM frames"), std::vector<std::string>{std::to_string(written)});
    EXPECT_EQ(std::string(error).find(full + ": cannot be written"), 0u) << error;
}

TEST(FrameLog, RefusesFilesThatAreNotItsLogsWithOneLineAndChangesNothing) {
    const std::string text = freshLog("notes.txt");
    std::ofstream(text) << "not a database\n";
    const std::string foreign = freshLog("foreign.db");
    testing::runCommand("sqlite3 '" + foreign + "' 'CREATE TABLE t (x)'");
    const std::string newer = freshLog("newer.db");
    FrameLog(newer, testing::TestClock().clock());
    testing::runCommand("sqlite3 '" + newer + "' 'PRAGMA user_version = " + std::to_string(FrameLogVersion + 1) + "'");
    const std::string readOnly = freshLog("read-only.db");
    FrameLog(readOnly, testing::TestClock().clock());
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
            FrameLog log(path, testing::TestClock().clock());
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
    EXPECT_EQ(query(foreign, "PRAGMA journal_mode"), std::vector<std::string>{"delete"}) << "another program's database untouched";
}

}  // namespace
}  // namespace sondeco
