// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-decode's band monitor end to end: sondeco-gen's IQ through a file and a pipe, the frames it
// prints against what its log holds, a second run appending, a run killed mid-stream, a disk that
// fills under the log and is freed again, and wrong input.
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cmath>
#include <csignal>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace sondeco {
namespace {

using testing::jsonNumbers;
using testing::lines;
using testing::runCommand;
using testing::scratchPath;

std::string decoder(const std::string& arguments) { return std::string("'" SONDECO_DECODE "' ") + arguments; }
std::string generator(const std::string& arguments) { return std::string("'" SONDECO_GEN "' ") + arguments; }

// Three beacons and a carrier in 96 kS/s around 304 kHz.
constexpr const char* Band =
    "--iq --sample-rate 96000 --center-freq 304000 --seconds 20 --beacon 287500,100,491,14 "
    "--beacon 304500,200,12,14 --beacon 318000,100,77,14 --carrier 296000,45";

std::string sql(const std::filesystem::path& log, const std::string& query) {
    const auto result = runCommand("sqlite3 '" + log.string() + "' '" + query + "'");
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    return result.output;
}

TEST(BandDecode, PrintsAndLogsEveryBeaconFromFilesAndPipes) {
    const auto wav = scratchPath("band.wav");
    const auto log = scratchPath("band.db");
    std::filesystem::remove(log);
    ASSERT_EQ(runCommand(generator(std::string(Band) + " '" + wav.string() + "'")).exitCode, 0);

    // A two-channel WAV by name, and the same band as raw cu8 through a pipe: the same stations.
    const auto fromFile = runCommand(decoder("--iq --center-freq 304000 -o json --log '" + log.string() + "' '" + wav.string() + "'"));
    ASSERT_EQ(fromFile.exitCode, 0) << fromFile.errors;
    const auto fromPipe = runCommand(generator(std::string(Band) + " --format cu8 -") + " | " +
                                     decoder("--iq --format cu8 --sample-rate 96000 --center-freq 304000 -o json"));
    ASSERT_EQ(fromPipe.exitCode, 0) << fromPipe.errors;
    for (const auto* output : {&fromFile.output, &fromPipe.output}) {
        std::set<std::pair<int, int>> heard;  // station, carrier in Hz
        for (const std::string& line : lines(*output)) {
            heard.insert({static_cast<int>(jsonNumbers(line, "station_id").at(0)),
                          static_cast<int>(jsonNumbers(line, "freq").at(0) / 100.0 + 0.5) * 100});
            const double rate = jsonNumbers(line, "bitrate").at(0);  // the frame's own comes first
            EXPECT_TRUE(rate == 100.0 || rate == 200.0) << line;
        }
        EXPECT_EQ(heard, (std::set<std::pair<int, int>>{{491, 287500}, {12, 304500}, {77, 318000}}));
    }

    // The log holds exactly the frames printed; a second run appends to the same stations.
    const std::size_t printed = lines(fromFile.output).size();
    ASSERT_GT(printed, 20u);
    EXPECT_EQ(sql(log, "SELECT count(*) FROM frames"), std::to_string(printed) + "\n");
    ASSERT_EQ(runCommand(decoder("--iq --center-freq 304000 -o frames --log '" + log.string() + "' '" + wav.string() + "'")).exitCode, 0);
    EXPECT_EQ(sql(log, "SELECT count(*) FROM frames"), std::to_string(2 * printed) + "\n");
    EXPECT_EQ(sql(log, "SELECT station_id FROM stations ORDER BY frequency_hz"), "491\n12\n77\n");
    const auto stations = runCommand(decoder("--stations '" + log.string() + "'"));
    EXPECT_NE(stations.output.find("304.5 kHz"), std::string::npos) << stations.output;

    // The table into a pipe: a line per frame, naming frequency and station.
    const auto table = runCommand(decoder("--iq --center-freq 304000 -o table '" + wav.string() + "'"));
    EXPECT_EQ(lines(table.output).size(), printed);
    EXPECT_NE(table.output.find("318.0 kHz"), std::string::npos);
}

// A decoder killed while its input has stalled: every frame decoded before the stall is in the log,
// and the log reads cleanly.
TEST(BandDecode, KilledMidStreamLeavesItsFramesInTheLog) {
    const auto raw = scratchPath("band.cu8");
    const auto log = scratchPath("killed.db");
    const auto out = scratchPath("killed.json");
    std::filesystem::remove(log);
    ASSERT_EQ(runCommand(generator(std::string(Band) + " --format cu8 '" + raw.string() + "'")).exitCode, 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(pipeEnds[0], STDIN_FILENO);
        close(pipeEnds[1]);
        const std::string command = decoder("--iq --format cu8 --sample-rate 96000 --center-freq 304000 -o json --log '" + log.string() +
                                            "' > '" + out.string() + "'");
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[0]);
    // The whole stream, then the pipe stays open as a stalled SDR's would.
    const std::string bytes = testing::readWhole(raw);
    ASSERT_EQ(write(pipeEnds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    // Everything sent is decoded within seconds; then nothing more comes.
    std::size_t printed = 0;
    for (int unchanged = 0, wait = 0; unchanged < 20 && wait < 600; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::size_t now = lines(testing::readWhole(out)).size();
        unchanged = now == printed && now > 0 ? unchanged + 1 : 0;
        printed = now;
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeEnds[1]);
    ASSERT_GT(printed, 20u);
    EXPECT_EQ(sql(log, "PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(sql(log, "SELECT count(*) FROM frames"), std::to_string(printed) + "\n");
}

// The disk fills while the band is decoded (the decoder's file size limit lowered from outside, then
// raised): the frames go on to standard output, standard error says once that the log cannot be
// written and once that it is again, and in the end every frame printed is in the log.
TEST(BandDecode, ADiskThatFillsStopsNeitherTheFramesNorTheLog) {
    const auto raw = scratchPath("band.cu8");
    const auto log = scratchPath("full.db");
    const auto errors = scratchPath("full.err");
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(log.string() + suffix);
    ASSERT_EQ(runCommand(generator(std::string(Band) + " --format cu8 '" + raw.string() + "'")).exitCode, 0);
    int input[2];
    int output[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(output), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        for (int end : {input[0], input[1], output[0], output[1]}) close(end);
        std::signal(SIGXFSZ, SIG_IGN);  // the limit's signal would stand in for nothing on a full disk
        const std::string command = decoder("--iq --format cu8 --sample-rate 96000 --center-freq 304000 -o json --log '" + log.string() +
                                            "' - 2> '" + errors.string() + "'");
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    std::mutex mutex;
    std::string printed;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t got; (got = read(output[0], buffer, sizeof buffer)) > 0;) {
            std::lock_guard lock(mutex);
            printed.append(buffer, static_cast<std::size_t>(got));
        }
    });
    const auto framesPrinted = [&] {
        std::lock_guard lock(mutex);
        return lines(printed).size();
    };
    const auto framesLogged = [&] { return std::stoul("0" + sql(log, "SELECT count(*) FROM frames")); };
    const auto waitUntil = [](const std::function<bool()>& done) {
        for (int wait = 0; wait < 600 && !done(); ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return done();
    };
    const auto said = [&](const std::string& what) { return testing::readWhole(errors).find(what) != std::string::npos; };
    const auto setLimit = [&](rlim_t bytes) {
        const rlimit limit{bytes, RLIM_INFINITY};
        return prlimit(child, RLIMIT_FSIZE, &limit, nullptr) == 0;
    };
    const std::string bytes = testing::readWhole(raw);
    const std::size_t half = bytes.size() / 4 * 2;
    ASSERT_EQ(write(input[1], bytes.data(), half), static_cast<ssize_t>(half));
    ASSERT_TRUE(waitUntil([&] { return framesLogged() > 0; }));
    // Full: nothing may be added to the log's files.
    ASSERT_TRUE(setLimit(static_cast<rlim_t>(std::filesystem::file_size(log.string() + "-wal"))));
    ASSERT_EQ(write(input[1], bytes.data() + half, bytes.size() - half), static_cast<ssize_t>(bytes.size() - half));
    EXPECT_TRUE(waitUntil([&] { return said("cannot be written"); })) << testing::readWhole(errors);
    // Everything sent is decoded and printed within seconds; meanwhile the log takes none of it.
    std::size_t lastCount = 0;
    for (int unchanged = 0, wait = 0; unchanged < 20 && wait < 600; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::size_t now = framesPrinted();
        unchanged = now == lastCount ? unchanged + 1 : 0;
        lastCount = now;
    }
    const std::size_t loggedWhileFull = framesLogged();
    EXPECT_GT(lastCount, loggedWhileFull) << "frames printed while the log could not take them";
    ASSERT_TRUE(setLimit(RLIM_INFINITY));
    EXPECT_TRUE(waitUntil([&] { return said("logged again"); })) << testing::readWhole(errors);
    close(input[1]);
    int status = 0;
    waitpid(child, &status, 0);
    reader.join();
    close(output[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(framesLogged(), framesPrinted());
    const auto told = lines(testing::readWhole(errors));
    ASSERT_EQ(told.size(), 2u) << testing::readWhole(errors);
    EXPECT_EQ(told[0], "sondeco-decode: " + log.string() +
                           ": cannot be written (disk I/O error); frames wait in memory (up to 50000) and it is tried again every 1 s");
    EXPECT_EQ(told[1].find("sondeco-decode: " + log.string() + ": logged again after "), 0u) << told[1];
    EXPECT_NE(told[1].find("; the " + std::to_string(framesPrinted() - loggedWhileFull) + " frames that waited go in now"),
              std::string::npos)
        << told[1];
}

// The centre an SDR program wrote into the recording (an auxi chunk, or its name) is used when none
// is given, so that the frequencies come out absolute; one given that disagrees is used, and said so.
TEST(BandDecode, TheCentreComesFromTheRecording) {
    const auto plain = scratchPath("plain-iq.wav");
    ASSERT_EQ(
        runCommand(generator("--iq --sample-rate 96000 --center-freq 304k --seconds 8 --beacon 304500,200,12,16 '" + plain.string() + "'"))
            .exitCode,
        0);
    std::ifstream in(plain, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The same file with an auxi chunk as SDR# writes it before its data (start and stop as
    // SYSTEMTIME, the centre in hertz), and under a name HDSDR would give it.
    const std::size_t data = bytes.find("data");
    ASSERT_NE(data, std::string::npos);
    std::string auxi = "auxi";
    const auto put = [&auxi](std::uint32_t value, int size) {
        for (int shift = 0; shift < 8 * size; shift += 8) auxi += static_cast<char>(value >> shift);
    };
    put(164, 4);
    for (const std::uint32_t field : {2024u, 1u, 1u, 15u, 20u, 30u, 0u, 0u, 2024u, 1u, 1u, 15u, 20u, 30u, 8u, 0u}) put(field, 2);
    put(304000, 4);
    auxi.resize(8 + 164, '\0');
    bytes.insert(data, auxi);
    const std::uint32_t riffSize = static_cast<std::uint32_t>(bytes.size() - 8);
    for (int k = 0; k < 4; ++k) bytes[4 + static_cast<std::size_t>(k)] = static_cast<char>(riffSize >> (8 * k));
    const auto withChunk = scratchPath("recording.wav");
    std::ofstream(withChunk, std::ios::binary) << bytes;
    const auto named = scratchPath("HDSDR_20240115_203000Z_304kHz_RF.wav");
    std::filesystem::copy_file(plain, named, std::filesystem::copy_options::overwrite_existing);

    const auto carriers = [](const std::string& output) {
        std::set<int> heard;
        for (const std::string& line : lines(output)) heard.insert(static_cast<int>(jsonNumbers(line, "freq").at(0) + 0.5));
        return heard;
    };
    for (const auto& file : {withChunk, named}) {
        const auto result = runCommand(decoder("--iq -o json --stats '" + file.string() + "'"));
        ASSERT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(carriers(result.output), std::set<int>{304500}) << file;
        EXPECT_NE(result.errors.find("centre frequency: 304000 Hz, from its"), std::string::npos) << result.errors;
    }
    const auto overridden = runCommand(decoder("--iq -o json --center-freq 304.1k '" + withChunk.string() + "'"));
    ASSERT_EQ(overridden.exitCode, 0) << overridden.errors;
    EXPECT_EQ(carriers(overridden.output), std::set<int>{304600});
    EXPECT_NE(overridden.errors.find("--center-freq 304100 Hz is used, though its auxi chunk says 304000 Hz"), std::string::npos)
        << overridden.errors;
    // Without a centre anywhere, offsets from the stream's centre, as before.
    EXPECT_EQ(carriers(runCommand(decoder("--iq -o json '" + plain.string() + "'")).output), std::set<int>{500});

    // KiwiSDR's IQ, 12000 samples a second in kiwirecorder's --kiwi-wav form (a data chunk every
    // 512 samples, each after its GPS time) under its name: the beacons the 12 kHz hold.
    const auto kiwi = scratchPath("20240115T203000Z_300000_iq.wav");
    ASSERT_EQ(runCommand(generator("--iq --format kiwi --sample-rate 12000 --center-freq 300000 --seconds 12 --beacon 301000,200,12,16 "
                                   "--beacon 298500,200,13,16 '" +
                                   kiwi.string() + "'"))
                  .exitCode,
              0);
    const auto fromKiwi = runCommand(decoder("--iq -o json --stats '" + kiwi.string() + "'"));
    ASSERT_EQ(fromKiwi.exitCode, 0) << fromKiwi.errors;
    EXPECT_NE(fromKiwi.errors.find("stream start: 2024-01-15 20:30:00 UTC, from its kiwi chunks' GPS time"), std::string::npos)
        << fromKiwi.errors;
    EXPECT_EQ(carriers(fromKiwi.output), (std::set<int>{298500, 301000}));
}

// Every record of a frame says when it was received in the recording: from the recording's own
// start (here kiwirecorder's name), from --start-time, or from the clock for a pipe that says nothing.
TEST(BandDecode, FramesCarryTheTimeTheyWereReceivedInTheStream) {
    const auto kiwi = scratchPath("20240115T203000Z_300000_iq.wav");
    ASSERT_EQ(runCommand(generator("--iq --sample-rate 12000 --center-freq 300000 --seconds 12 --beacon 301000,200,12,16 "
                                   "--beacon 298500,100,13,16 '" +
                                   kiwi.string() + "'"))
                  .exitCode,
              0);
    // Each time of `text` on the day and in the hour given ("2024-01-15T20:"), as seconds into the hour.
    const auto secondsIn = [](const std::string& text, const std::string& dayAndHour) {
        std::vector<double> seconds;
        for (auto at = text.find(dayAndHour); at != std::string::npos; at = text.find(dayAndHour, at + 1)) {
            const std::string minutes = text.substr(at + dayAndHour.size(), 8);  // "30:04.2Z"
            EXPECT_EQ(minutes.substr(2, 1) + minutes.substr(7), ":Z") << minutes;
            seconds.push_back(60.0 * std::stoi(minutes.substr(0, 2)) + std::stod(minutes.substr(3, 4)));
        }
        return seconds;
    };
    const auto log = scratchPath("timed.db");
    std::filesystem::remove(log);
    const auto json = runCommand(decoder("--iq -o json --stats --log '" + log.string() + "' '" + kiwi.string() + "'"));
    ASSERT_EQ(json.exitCode, 0) << json.errors;
    EXPECT_NE(json.errors.find("stream start: 2024-01-15 20:30:00 UTC, from its name"), std::string::npos) << json.errors;
    const std::vector<double> times = secondsIn(json.output, "2024-01-15T20:");
    ASSERT_EQ(times.size(), lines(json.output).size());
    ASSERT_GE(times.size(), 8u);
    for (const double time : times) {
        EXPECT_GE(time, 30 * 60 + 1.0);  // no frame is whole before its first second
        EXPECT_LE(time, 30 * 60 + 12.1);
    }
    // The frame lines end with the same times, the log holds them and the run they came from.
    const auto frames = runCommand(decoder("--iq -o frames '" + kiwi.string() + "'"));
    EXPECT_EQ(secondsIn(frames.output, "2024-01-15T20:"), times);
    std::string logged;
    for (const double time : times) logged += std::to_string(static_cast<long long>(std::lround(10.0 * time))) + "\n";
    EXPECT_EQ(sql(log, "SELECT CAST(round(10 * (time - 1705350600 + 1800)) AS INTEGER) FROM frames ORDER BY id"), logged);
    EXPECT_EQ(
        sql(log, "SELECT input, centre_hz, sample_rate, stream_start, count(DISTINCT f.run) FROM runs JOIN frames f ON f.run = runs.id"),
        kiwi.string() + "|300000.0|12000.0|1705350600.0|1\n");

    // --start-time overrides the name; a pipe that says nothing is dated by the clock.
    const auto restarted = runCommand(decoder("--iq -o json --start-time 2025-03-01T12:00:00Z '" + kiwi.string() + "'"));
    std::vector<double> shifted = secondsIn(restarted.output, "2025-03-01T12:");
    for (double& time : shifted) time += 30 * 60;
    EXPECT_EQ(shifted, times);
    const auto runStart = static_cast<double>(std::time(nullptr));
    const auto piped = runCommand(decoder("--iq -o json < '" + kiwi.string() + "'"));
    const auto quoted = piped.output.find("\"time\":\"");
    ASSERT_NE(quoted, std::string::npos) << piped.output;
    std::tm when{};
    ASSERT_NE(strptime(piped.output.c_str() + quoted + 8, "%Y-%m-%dT%H:%M:%S", &when), nullptr);
    EXPECT_NEAR(static_cast<double>(timegm(&when)), runStart + times.front() - 30 * 60, 3.0);
}

// A receiver whose oscillator is 123 Hz off shows every beacon 123 Hz off its raster point: the
// beacons correct it, and the user is told that the centre given cannot be right.
TEST(BandDecode, AMistunedReceiverIsCorrectedByTheBeaconsAndSaid) {
    const auto cu8 = scratchPath("mistuned.cu8");
    ASSERT_EQ(runCommand(generator("--iq --format cu8 --sample-rate 48000 --center-freq 304123 --seconds 15 --beacon 301000,100,12,14 "
                                   "--beacon 310500,200,13,14 '" +
                                   cu8.string() + "'"))
                  .exitCode,
              0);
    const auto run =
        runCommand(decoder("--iq --format cu8 --sample-rate 48000 --center-freq 304000 -o json --stats '" + cu8.string() + "'"));
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    // Said as soon as two beacons agree (to a hertz or two), and measured closer by the end.
    EXPECT_NE(run.errors.find(" Hz off the 500 Hz raster, so the centre frequency (or the receiver's clock) is that far off"),
              std::string::npos)
        << run.errors;
    EXPECT_NE(run.errors.find("tuning: the beacons sit -123."), std::string::npos) << run.errors;
    // Until two beacons agree on it the offset is unknown: a station's first frame may come
    // uncorrected, the rest are right.
    std::set<int> heard;
    std::map<int, int> offRaster;  // frames more than 2 Hz off, by station
    std::map<int, double> lastCarrier;
    for (const std::string& line : lines(run.output)) {
        const double carrier = jsonNumbers(line, "freq").at(0);
        const int station = static_cast<int>(jsonNumbers(line, "station_id").at(0));
        const double raster = std::round(carrier / 500.0) * 500.0;
        if (std::fabs(carrier - raster) > 2.0) ++offRaster[station];
        lastCarrier[station] = carrier;
        heard.insert(static_cast<int>(std::round((carrier + 150.0) / 500.0) * 500.0));
    }
    for (const auto& [station, count] : offRaster) EXPECT_LE(count, 1) << "station " << station;
    EXPECT_NEAR(lastCarrier[12], 301000.0, 2.0);
    EXPECT_NEAR(lastCarrier[13], 310500.0, 2.0);
    EXPECT_EQ(heard, (std::set<int>{301000, 310500}));

    // On a terminal (script's, 80 columns) the table's first line says it is searching, then what it
    // found, the offset among it.
    const auto table = runCommand("COLUMNS=80 LINES=24 script -q -c \"" +
                                  decoder("--iq --format cu8 --sample-rate 48000 --center-freq 304000 '" + cu8.string() + "'") +
                                  "\" /dev/null < /dev/null");
    ASSERT_EQ(table.exitCode, 0) << table.errors;
    const auto searching = table.output.find(" UTC  48 kS/s  167 channels  searching");
    const auto found = table.output.find(" UTC  48 kS/s  167 channels  2 stations  tuning -12");
    ASSERT_NE(searching, std::string::npos) << table.output;
    ASSERT_NE(found, std::string::npos) << table.output;
    EXPECT_LT(searching, found);
}

TEST(BandDecode, WrongInputIsRefusedWithAReason) {
    const auto text = scratchPath("not-iq.txt");
    std::ofstream(text) << "hello\n";
    const auto audio = scratchPath("beacon.wav");
    ASSERT_EQ(runCommand(generator("--seconds 1 '" + audio.string() + "'")).exitCode, 0);
    struct Case {
        std::string arguments;
        int status;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"--iq '" + text.string() + "'", 1, "raw IQ samples need --format and --sample-rate"},
        {"--iq --format cu8 '" + text.string() + "'", 2, "needs its --sample-rate"},
        {"--iq --format cu8 --sample-rate 7999 -", 2, "--sample-rate"},
        {"--iq --format s16 --sample-rate 96000 -", 2, "is an audio format"},
        {"--format cu8 -", 2, "give --iq as well"},
        {"--iq --scan -", 2, "cannot be used together"},
        {"--iq -r 100 -", 2, "finds every beacon itself"},
        {"--center-freq 300000 -", 2, "give --iq as well"},
        {"--ppm 30 -", 2, "give --iq as well"},
        {"--start-time 2024-01-15T20:30:00Z -", 2, "give one of them"},
        {"--iq --start-time yesterday -", 2, "'yesterday' is not a time in UTC"},
        {"--iq --start-time 2024-13-01T00:00:00Z -", 2, "is not a time in UTC"},
        {"--iq --ppm 3000 -", 2, "--ppm"},
        {"--log x.db -", 2, "give one of them"},
        {"-o table -", 2, "give one of them"},
        {"--iq --format cu8 --sample-rate 250000 --center-freq 100000 '" + text.string() + "'", 1, "does not reach the beacon band"},
        {"--scan --log /nonexistent/dir/x.db '" + audio.string() + "'", 1, "x.db"},
    };
    for (const Case& c : cases) {
        const auto result = runCommand(decoder(c.arguments) + " < /dev/null");
        EXPECT_EQ(result.exitCode, c.status) << c.arguments << "\n" << result.errors;
        EXPECT_NE(result.errors.find(c.says), std::string::npos) << c.arguments << "\n" << result.errors;
    }
}

}  // namespace
}  // namespace sondeco
