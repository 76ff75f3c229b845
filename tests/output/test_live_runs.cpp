// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-decode as it runs in the field, end to end: audio written into a pipe at its real pace and
// RTCM bytes dribbled in as a beacon receiver sends them, with the output read while the input is
// still open; stops asked for by signals; writes that fail; one station per correction stream out of
// the band monitor; a recording replayed at its real pace.

#include "signalgen/simulated_beacon.h"
#include "tests/output/feed_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <thread>

namespace sondeco {
namespace {

using namespace sondeco::testing;

std::string decoderCommand(const std::string& arguments) { return std::string("'" SONDECO_DECODE "' ") + arguments; }
std::string generatorCommand(const std::string& arguments) { return std::string("'" SONDECO_GEN "' ") + arguments; }

std::filesystem::path generated(const std::string& name, const std::string& options) {
    const auto path = scratchPath(name);
    EXPECT_EQ(runCommand(generatorCommand(options + " '" + path.string() + "'")).exitCode, 0);
    return path;
}

// The lines of `text` that are whole (ended by a line feed), and the rest.
std::vector<std::string> wholeLines(const std::string& text, std::string* rest = nullptr) {
    std::vector<std::string> result = lines(text.substr(0, text.rfind('\n') + 1));
    if (rest != nullptr) *rest = text.substr(text.rfind('\n') + 1);
    return result;
}

bool isWholeRtcm2Object(const std::string& line) {
    return line.rfind("{\"class\":\"RTCM2\"", 0) == 0 && !line.empty() && line.back() == '}';
}

// Where each frame of sondeco-gen's beacon ends, in seconds from its first bit, for frames told apart
// by their type and sequence number: the generator sends its types in a fixed cycle from sequence
// number 0 with no gap between frames, so a frame's place follows from the two, and its end from the
// lengths of the frames before it (each type always has the same length).
class GeneratedFrameClock {
public:
    explicit GeneratedFrameClock(double bitRate) : bitRate_(bitRate) {}

    // Learns the lengths from every JSON line of a whole decode.
    void learn(const std::vector<std::string>& jsonLines) {
        for (const std::string& line : jsonLines)
            lengths_[static_cast<int>(jsonNumbers(line, "type").at(0))] = static_cast<int>(jsonNumbers(line, "length").at(0));
    }
    // The end of the frame of this line, the first such frame after `after` (an index).
    std::optional<std::pair<std::size_t, double>> endOf(const std::string& line, std::optional<std::size_t> after) const {
        const auto types = defaultMessageTypes();
        const int type = static_cast<int>(jsonNumbers(line, "type").at(0));
        const auto sequence = static_cast<std::size_t>(jsonNumbers(line, "seqnum").at(0));
        double end = 0.0;
        for (std::size_t index = 0; index < 200; ++index) {
            const int typeHere = types[index % types.size()];
            const auto length = lengths_.find(typeHere);
            if (length == lengths_.end()) return std::nullopt;
            end += (2 + length->second) * 30 / bitRate_;
            if ((!after || index > *after) && typeHere == type && index % 8 == sequence) return std::make_pair(index, end);
        }
        return std::nullopt;
    }

private:
    double bitRate_;
    std::map<int, int> lengths_;
};

// A receiver's audio written into a pipe at its real pace: every frame's JSON line comes out within a
// second of the frame's last bit, while the pipe is still open. SIGTERM then ends the run at once
// with every line whole, the summary printed and status 0, though the pipe never ended.
TEST(LiveRun, PacedAudioGivesEachFrameWithinASecondAndSigtermEndsItCleanly) {
    const auto wav = generated("beacon.wav", "--seconds 14 --ebn0 15");
    const std::string audio = readWhole(wav);
    const auto whole = runCommand(decoderCommand("-o json '" + wav.string() + "'"));
    ASSERT_EQ(whole.exitCode, 0) << whole.errors;
    GeneratedFrameClock clock(200.0);
    clock.learn(lines(whole.output));

    const auto out = scratchPath("live.json");
    const auto err = scratchPath("live.err");
    ChildProcess decoder({SONDECO_DECODE, "-o", "json", "--stats", "-"}, out, err, true);
    constexpr std::size_t Header = 44;
    constexpr double BytesPerSecond = 48000.0 * 4;
    constexpr std::size_t Chunk = 3840;  // 20 ms
    ASSERT_TRUE(decoder.write(audio.substr(0, Header)));
    const auto start = Clock::now();
    std::map<std::size_t, double> arrival;  // line number: seconds from the first sample written
    const auto collect = [&] {
        const auto got = wholeLines(readWhole(out));
        const double now = std::chrono::duration<double>(Clock::now() - start).count();
        for (std::size_t i = arrival.size(); i < got.size(); ++i) arrival[i] = now;
    };
    for (std::size_t at = Header; at < audio.size(); at += Chunk) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(static_cast<double>(at - Header) / BytesPerSecond)));
        ASSERT_TRUE(decoder.write(audio.substr(at, Chunk)));
        collect();
    }
    const auto afterLast = Clock::now() + std::chrono::milliseconds(1500);
    while (Clock::now() < afterLast) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        collect();
    }

    const auto got = wholeLines(readWhole(out));
    ASSERT_GE(got.size(), lines(whole.output).size() - 1) << "frames held back while the pipe is open";
    std::optional<std::size_t> previous;
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(isWholeRtcm2Object(got[i])) << got[i];
        const auto frame = clock.endOf(got[i], previous);
        ASSERT_TRUE(frame) << got[i];
        previous = frame->first;
        EXPECT_LE(arrival[i] - frame->second, 1.0) << "frame " << frame->first << " ended at " << frame->second << " s: " << got[i];
    }

    decoder.sendSignal(SIGTERM);
    EXPECT_EQ(decoder.waitExit(secondsFromNow(10)), 0) << readWhole(err);
    std::string rest;
    const auto final = wholeLines(readWhole(out), &rest);
    EXPECT_TRUE(rest.empty()) << "a line cut in half: " << rest;
    EXPECT_NE(readWhole(err).find("frames: " + std::to_string(final.size()) + "\n"), std::string::npos) << readWhole(err);
}

// RTCM bytes dribbled in as a beacon receiver's serial output brings them: each frame is decoded as
// soon as its bytes are there, and a real gpsd on --listen has every frame while the input is open.
TEST(LiveRun, DribbledRtcmBytesReachGpsdWhileTheInputIsStillOpen) {
    const int ourPort = freePort();
    const int gpsdPort = freePort();
    const auto out = scratchPath("dribble.json");
    const auto err = scratchPath("dribble.err");
    ChildProcess decoder({SONDECO_DECODE, "--rtcm", "-o", "json", "--listen", std::to_string(ourPort) + "/rtcm", "-"}, out, err, true);
    ASSERT_TRUE(waitFor([&] { return socketsOnPort(ourPort, "0A") > 0; }, secondsFromNow(20)));
    ChildProcess gpsd({"gpsd", "-N", "-n", "-S", std::to_string(gpsdPort), "tcp://127.0.0.1:" + std::to_string(ourPort)},
                      scratchPath("gpsd.out"), scratchPath("gpsd.err"), false);
    ASSERT_TRUE(waitFor([&] { return socketsOnPort(gpsdPort, "0A") > 0; }, secondsFromNow(20)));
    const auto watched = scratchPath("gpspipe.out");
    ChildProcess gpspipe({"gpspipe", "-w", "127.0.0.1:" + std::to_string(gpsdPort)}, watched, scratchPath("gpspipe.err"), false);
    ASSERT_TRUE(waitFor([&] { return readWhole(watched).find("\"class\":\"WATCH\"") != std::string::npos; }, secondsFromNow(20)));

    // Eight frames, four bytes every 30 ms: four times a 200 bit/s beacon's pace.
    const std::string bytes = beaconRtcm(8);
    for (std::size_t at = 0; at < bytes.size(); at += 4) {
        ASSERT_TRUE(decoder.write(bytes.substr(at, 4)));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    const auto rtcm2Count = [](const std::string& text) {
        std::size_t count = 0;
        for (const std::string& line : lines(text)) count += line.find("\"class\":\"RTCM2\"") != std::string::npos;
        return count;
    };
    EXPECT_TRUE(waitFor([&] { return rtcm2Count(readWhole(out)) == 8; }, secondsFromNow(2))) << readWhole(out);
    EXPECT_TRUE(waitFor([&] { return rtcm2Count(readWhole(watched)) == 8; }, secondsFromNow(10)))
        << readWhole(watched) << readWhole(scratchPath("gpsd.err"));
    decoder.closeInput();
    EXPECT_EQ(decoder.waitExit(secondsFromNow(20)), 0) << readWhole(err);
}

// A stop asked for by SIGINT or SIGHUP leaves whole frames of RTCM behind, the summary and status 0;
// a second signal ends a run that cannot stop at once (its named pipe has gone quiet) there and then.
TEST(LiveRun, SignalsStopARunWithWholeFramesAndASecondOneAtOnce) {
    const auto wav = generated("loop.wav", "--seconds 3 --ebn0 20");
    for (const int signal : {SIGINT, SIGHUP}) {
        const auto out = scratchPath("stopped.rtcm");
        const auto err = scratchPath("stopped.err");
        ChildProcess decoder({SONDECO_DECODE, "--loop", "-o", "rtcm", "--stats", wav.string()}, out, err, false);
        // Two passes of the recording and a little: frames of both are out.
        ASSERT_TRUE(waitFor([&] { return decodeRtcm(readWhole(out)).frames >= 4; }, secondsFromNow(20))) << readWhole(err);
        decoder.sendSignal(signal);
        EXPECT_EQ(decoder.waitExit(secondsFromNow(10)), 0) << signal << readWhole(err);
        const std::string written = readWhole(out);
        const DecoderStatistics decoded = decodeRtcm(written);
        EXPECT_EQ(written.size() * 6 % 30, 0u) << "whole words only";
        EXPECT_EQ(decoded.parityFailures, 0u);
        EXPECT_NE(readWhole(err).find("frames: " + std::to_string(decoded.frames) + "\n"), std::string::npos) << readWhole(err);
    }

    const auto fifo = scratchPath("quiet.fifo");
    std::filesystem::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess decoder({SONDECO_DECODE, "--rtcm", "-o", "json", fifo.string()}, scratchPath("fifo.out"), scratchPath("fifo.err"), false);
    const FileDescriptor writer(open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(writer.valid());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    decoder.sendSignal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    decoder.sendSignal(SIGTERM);
    EXPECT_TRUE(waitFor([&] { return decoder.ended(); }, secondsFromNow(2)));
}

// A write that fails is an error naming standard output, for one beacon and for the band monitor; a
// reader that goes away from a pipe ends the run quietly; a serial port that goes away for good is an
// error at the end.
TEST(LiveRun, FailedWritesAreErrorsAndAReaderGoingAwayIsNot) {
    const auto wav = generated("beacon.wav", "--seconds 10 --ebn0 15");
    for (const std::string options : {"-o json", "-o frames --scan", "-o table --scan"}) {
        const auto full = runCommand("(" + decoderCommand(options + " '" + wav.string() + "' > /dev/full") + ")");
        EXPECT_EQ(full.exitCode, 1) << options;
        EXPECT_EQ(full.errors, "sondeco-decode: standard output cannot be written: No space left on device\n") << options;
    }
    const auto status = scratchPath("status");
    const auto gone =
        runCommand("(" + decoderCommand("-o json '" + wav.string() + "'") + "; echo $? > '" + status.string() + "') | head -c 1");
    EXPECT_EQ(readWhole(status), "0\n");
    EXPECT_TRUE(gone.errors.empty()) << gone.errors;

    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    FileDescriptor masterEnd(master), slaveEnd(slave);
    // Kept from the decoder, or its inherited copy of the master would keep the terminal alive.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    const std::string device = ttyname(slave);
    const auto err = scratchPath("serial.err");
    ChildProcess decoder({SONDECO_DECODE, "--rtcm", "-o", "json", "--serial", device, "-"}, scratchPath("serial.out"), err, true);
    const std::string bytes = beaconRtcm(20);
    ASSERT_TRUE(decoder.write(bytes.substr(0, bytes.size() / 2)));
    ASSERT_TRUE(waitFor([&] { return lines(readWhole(scratchPath("serial.out"))).size() >= 9; }, secondsFromNow(20)));
    masterEnd.reset();  // the adapter pulled out
    slaveEnd.reset();
    ASSERT_TRUE(decoder.write(bytes.substr(bytes.size() / 2)));
    decoder.closeInput();
    EXPECT_EQ(decoder.waitExit(secondsFromNow(20)), 1);
    EXPECT_NE(readWhole(err).find("sondeco-decode: serial port " + device + " went away and did not come back: "), std::string::npos)
        << readWhole(err);
}

// The band monitor's RTCM outputs carry one station: the one chosen by ID or by frequency, also one
// per --listen port, and with no choice and several stations heard the run is refused; JSON keeps
// every station. gpsdecode reads the chosen station's ID back.
TEST(LiveRun, EachCorrectionStreamOfTheBandMonitorCarriesOneStation) {
    const auto band = generated("band.cu8",
                                "--iq --format cu8 --sample-rate 96000 --center-freq 304000 --seconds 12 --beacon 287500,100,491,16 "
                                "--beacon 304500,200,12,16 --beacon 318000,200,77,16");
    const std::string input = "--iq --format cu8 --sample-rate 96000 --center-freq 304000 '" + band.string() + "'";
    const auto stationsIn = [](const std::string& rtcm) {
        const auto path = scratchPath("stream.rtcm");
        std::ofstream(path, std::ios::binary) << rtcm;
        std::set<int> stations;
        for (const std::string& line : lines(runCommand("gpsdecode -j < '" + path.string() + "'").output))
            if (line.find("\"class\":\"RTCM2\"") != std::string::npos)
                stations.insert(static_cast<int>(jsonNumbers(line, "station_id").at(0)));
        return stations;
    };
    // The same read by our own decoder, which locks onto a stream's first frame: a stream of two or
    // three frames is too short for gpsd's, which may take one or two to find its feet.
    const auto stationsDecoded = [](const std::string& rtcm) {
        struct Stations final : DecoderListener {
            void frameCompleted(const RtcmFrame& frame, const DecodedMessage&) override { ids.insert(frame.stationId); }
            std::set<int> ids;
        } stations;
        Receiver receiver;
        receiver.addListener(stations);
        receiver.pushRtcmBytes(rtcm);
        return stations.ids;
    };

    const auto byId = runCommand(decoderCommand("--station 12 -o rtcm " + input));
    ASSERT_EQ(byId.exitCode, 0) << byId.errors;
    EXPECT_EQ(stationsIn(byId.output), std::set<int>{12});
    const auto byFrequency = runCommand(decoderCommand("--station-freq 318000 -o rtcm " + input));
    ASSERT_EQ(byFrequency.exitCode, 0) << byFrequency.errors;
    EXPECT_EQ(stationsIn(byFrequency.output), std::set<int>{77});

    const auto refused = runCommand(decoderCommand("-o rtcm " + input));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(
        refused.errors.find("an RTCM stream carries the corrections of one station; choose one with --station ID or --station-freq HZ"),
        std::string::npos)
        << refused.errors;
    EXPECT_EQ(stationsDecoded(refused.output).size(), 1u) << "nothing of the second station went out";

    // Two stations on two ports, and JSON with every station on standard output.
    const int first = freePort();
    const int second = freePort();
    const auto out = scratchPath("ports.json");
    ChildProcess decoder({SONDECO_DECODE, "--iq", "--format", "cu8", "--sample-rate", "96000", "--center-freq", "304000", "-o", "json",
                          "--stats", "--listen", std::to_string(first) + "/rtcm@491", "--listen", std::to_string(second) + "/rtcm@77", "-"},
                         out, scratchPath("ports.err"), true);
    FileDescriptor client491, client77;
    ASSERT_TRUE(
        waitFor([&] { return (client491 = connectTo(first)).valid() && (client77 = connectTo(second)).valid(); }, secondsFromNow(20)));
    ASSERT_TRUE(decoder.write(readWhole(band)));
    decoder.closeInput();
    EXPECT_EQ(decoder.waitExit(secondsFromNow(60)), 0) << readWhole(scratchPath("ports.err"));
    EXPECT_EQ(stationsDecoded(readToEnd(client491.get(), secondsFromNow(10))), std::set<int>{491}) << readWhole(scratchPath("ports.err"));
    EXPECT_EQ(stationsDecoded(readToEnd(client77.get(), secondsFromNow(10))), std::set<int>{77}) << readWhole(scratchPath("ports.err"));
    std::set<int> everyStation;
    for (const std::string& line : lines(readWhole(out))) everyStation.insert(static_cast<int>(jsonNumbers(line, "station_id").at(0)));
    EXPECT_EQ(everyStation, (std::set<int>{491, 12, 77}));
}

// --realtime takes a recording at its own pace (never faster), --loop starts it again at its end.
TEST(LiveRun, RealtimeReplaysARecordingAtItsPaceAndLoopsIt) {
    const auto wav = generated("beacon.wav", "--seconds 4 --ebn0 20");
    const auto once = runCommand(decoderCommand("-o json '" + wav.string() + "'"));
    const auto started = Clock::now();
    const auto paced = runCommand(decoderCommand("--realtime -o json '" + wav.string() + "'"));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - started).count(), 3.9);
    EXPECT_EQ(paced.exitCode, 0) << paced.errors;
    EXPECT_EQ(paced.output, once.output);

    const auto out = scratchPath("looped.json");
    ChildProcess looped({SONDECO_DECODE, "--loop", "-o", "json", wav.string()}, out, scratchPath("looped.err"), false);
    const std::size_t onePass = lines(once.output).size();
    EXPECT_TRUE(waitFor([&] { return lines(readWhole(out)).size() > 2 * onePass; }, secondsFromNow(30)));
    looped.sendSignal(SIGINT);
    EXPECT_EQ(looped.waitExit(secondsFromNow(10)), 0);
}

}  // namespace
}  // namespace sondeco
