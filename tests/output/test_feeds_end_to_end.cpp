// SPDX-License-Identifier: GPL-3.0-or-later
// sondeco-decode's --listen and --serial with real peers: gpsd reads our RTCM stream and shows it
// through gpspipe as class RTCM2 objects, RTKLIB's str2str stores it byte for byte, two clients
// and standard output carry the same stream, a client that stops reading is cut while decoding goes
// on, and a pseudo-terminal reads back what standard output writes. The decoder reads its input
// from a pipe of ours, so that every peer is connected before the first frame is decoded.

#include "tests/output/feed_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <pty.h>

namespace sondeco {
namespace {

using namespace sondeco::testing;

// sondeco-decode reading RTCM from our pipe, standard output and errors in files of the test.
class Decoder {
public:
    explicit Decoder(std::vector<std::string> options)
        : output_(scratchPath("decoder.out")),
          errors_(scratchPath("decoder.err")),
          process_(arguments(std::move(options)), output_, errors_, true) {}

    // Writes the whole input, ends it, and waits for the program to finish by itself.
    std::optional<int> decode(const std::string& input) {
        EXPECT_TRUE(process_.write(input));
        process_.closeInput();
        return process_.waitExit(secondsFromNow(60));
    }
    std::string output() const { return readWhole(output_); }
    std::string errors() const { return readWhole(errors_); }

private:
    static std::vector<std::string> arguments(std::vector<std::string> options) {
        options.insert(options.begin(), {SONDECO_DECODE, "--rtcm", "--stats"});
        options.push_back("-");
        return options;
    }
    std::filesystem::path output_;
    std::filesystem::path errors_;
    ChildProcess process_;
};

bool listening(int port) { return socketsOnPort(port, "0A") > 0; }

std::vector<std::string> rtcm2Objects(const std::string& text) {
    std::vector<std::string> objects;
    for (const std::string& line : lines(text))
        if (line.find("\"class\":\"RTCM2\"") != std::string::npos) objects.push_back(line);
    return objects;
}

std::vector<double> frameHeader(const std::string& line) {
    std::vector<double> fields;
    for (const char* key : {"type", "station_id", "zcount", "seqnum", "length", "station_health"})
        fields.push_back(jsonNumbers(line, key).at(0));
    return fields;
}

TEST(FeedsEndToEnd, GpsdReadsOurStreamAndGpspipeShowsEveryFrameAsRtcm2) {
    const int ourPort = freePort();
    const int gpsdPort = freePort();
    Decoder decoder({"-o", "json", "--listen", std::to_string(ourPort) + "/rtcm"});
    ASSERT_TRUE(waitFor([&] { return listening(ourPort); }, secondsFromNow(20)));
    ChildProcess gpsd({"gpsd", "-N", "-n", "-S", std::to_string(gpsdPort), "tcp://127.0.0.1:" + std::to_string(ourPort)},
                      scratchPath("gpsd.out"), scratchPath("gpsd.err"), false);
    ASSERT_TRUE(waitFor([&] { return socketsOnPort(ourPort, "01") == 1; }, secondsFromNow(20))) << readWhole(scratchPath("gpsd.err"));
    ASSERT_TRUE(waitFor([&] { return listening(gpsdPort); }, secondsFromNow(20)));
    const auto watched = scratchPath("gpspipe.out");
    ChildProcess gpspipe({"gpspipe", "-w", "127.0.0.1:" + std::to_string(gpsdPort)}, watched, scratchPath("gpspipe.err"), false);
    ASSERT_TRUE(waitFor([&] { return readWhole(watched).find("\"class\":\"WATCH\"") != std::string::npos; }, secondsFromNow(20)));

    EXPECT_EQ(decoder.decode(beaconRtcm(50)), 0) << decoder.errors();
    const auto ours = rtcm2Objects(decoder.output());
    ASSERT_EQ(ours.size(), 50u);
    EXPECT_TRUE(waitFor([&] { return rtcm2Objects(readWhole(watched)).size() >= ours.size(); }, secondsFromNow(20)));
    const auto gpsds = rtcm2Objects(readWhole(watched));
    ASSERT_EQ(gpsds.size(), ours.size()) << readWhole(watched) << readWhole(scratchPath("gpsd.err")) << decoder.errors();
    for (std::size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(frameHeader(gpsds[i]), frameHeader(ours[i])) << gpsds[i];
    EXPECT_NE(decoder.errors().find("(rtcm): 1 clients, 0 cut"), std::string::npos) << decoder.errors();
}

TEST(FeedsEndToEnd, Str2strStoresTheStreamByteForByte) {
    const int port = freePort();
    Decoder decoder({"-o", "rtcm", "--listen", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(waitFor([&] { return listening(port); }, secondsFromNow(20)));
    const auto stored = scratchPath("str2str.rtcm2");
    std::filesystem::remove(stored);
    ChildProcess str2str({"str2str", "-in", "tcpcli://127.0.0.1:" + std::to_string(port), "-out", "file://" + stored.string()},
                         scratchPath("str2str.out"), scratchPath("str2str.err"), false);
    ASSERT_TRUE(waitFor([&] { return socketsOnPort(port, "01") == 1; }, secondsFromNow(20)));

    const std::string input = beaconRtcm(80);
    EXPECT_EQ(decoder.decode(input), 0) << decoder.errors();
    EXPECT_EQ(decoder.output(), input);
    EXPECT_TRUE(waitFor([&] { return readWhole(stored).size() >= input.size(); }, secondsFromNow(20)));
    EXPECT_EQ(readWhole(stored), input);
}

// Two RTCM clients and a JSON client of two servers at once: the RTCM streams are the same as each
// other and as standard output's, the JSON client gets every line.
TEST(FeedsEndToEnd, TwoClientsAtOnceGetTheStreamStandardOutputGets) {
    const int rtcmPort = freePort();
    const int jsonPort = freePort();
    Decoder decoder({"-o", "rtcm", "--listen", std::to_string(rtcmPort), "--listen", "[::1]:" + std::to_string(jsonPort) + "/json"});
    FileDescriptor first, second, json;
    ASSERT_TRUE(waitFor([&] { return (first = connectTo(rtcmPort)).valid(); }, secondsFromNow(20)));
    second = connectTo(rtcmPort);
    ASSERT_TRUE(waitFor([&] { return (json = connectTo(jsonPort, 0, true)).valid(); }, secondsFromNow(20)));

    EXPECT_EQ(decoder.decode(beaconRtcm(120)), 0) << decoder.errors();
    const std::string expected = decoder.output();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(readToEnd(first.get(), secondsFromNow(20)), expected);
    EXPECT_EQ(readToEnd(second.get(), secondsFromNow(20)), expected);
    const std::string jsonText = readToEnd(json.get(), secondsFromNow(20));
    EXPECT_EQ(lines(jsonText).size(), 120u);
    EXPECT_EQ(rtcm2Objects(jsonText).size(), 120u) << "every line a whole object";
    EXPECT_NE(decoder.errors().find("(rtcm): 2 clients, 0 cut"), std::string::npos) << decoder.errors();
}

TEST(FeedsEndToEnd, AClientThatStopsReadingIsCutAndDecodingGoesOn) {
    const int port = freePort();
    Decoder decoder({"-o", "json", "--listen", std::to_string(port) + "/pages"});
    FileDescriptor stuck;
    ASSERT_TRUE(waitFor([&] { return (stuck = connectTo(port, 4096)).valid(); }, secondsFromNow(20)));
    EXPECT_EQ(decoder.decode(beaconRtcm(3000)), 0) << decoder.errors();
    EXPECT_EQ(rtcm2Objects(decoder.output()).size(), 3000u);
    EXPECT_NE(decoder.errors().find("(pages): 1 clients, 1 cut for falling behind"), std::string::npos) << decoder.errors();
}

// While nothing is decoded (the input silent, no beacon yet), 200 clients come at once: every one is
// either taken or turned away at once, none left hanging in connect(), and those taken get the frames
// once they come. --max-clients sets how many are taken.
TEST(FeedsEndToEnd, TwoHundredClientsWhileNothingIsDecodedAreTakenOrTurnedAwayAtOnce) {
    const int port = freePort();
    Decoder decoder({"-o", "json", "--listen", std::to_string(port) + "/json", "--max-clients", "150"});
    ASSERT_TRUE(waitFor([&] { return listening(port); }, secondsFromNow(20)));
    std::vector<FileDescriptor> clients;
    for (int i = 0; i < 200; ++i) clients.push_back(connectTo(port));
    ASSERT_TRUE(std::all_of(clients.begin(), clients.end(), [](const FileDescriptor& client) { return client.valid(); }));
    // The turned away see their connection end at once.
    std::vector<bool> closed(clients.size());
    const auto closedCount = [&] {
        std::string ignored;
        for (std::size_t i = 0; i < clients.size(); ++i) closed[i] = closed[i] || !readAvailable(clients[i].get(), ignored);
        return std::count(closed.begin(), closed.end(), true);
    };
    EXPECT_TRUE(waitFor([&] { return closedCount() == 50; }, secondsFromNow(5))) << closedCount() << " closed";
    EXPECT_EQ(socketsOnPort(port, "01"), 150) << "the others are connected and served";

    EXPECT_EQ(decoder.decode(beaconRtcm(5)), 0) << decoder.errors();
    for (std::size_t i = 0; i < clients.size(); ++i) {
        if (closed[i]) continue;
        EXPECT_EQ(rtcm2Objects(readToEnd(clients[i].get(), secondsFromNow(10))).size(), 5u) << "client " << i;
    }
    EXPECT_NE(decoder.errors().find("(json): 150 clients, 0 cut for falling behind, 50 refused (too many at once)"), std::string::npos)
        << decoder.errors();
}

TEST(FeedsEndToEnd, APseudoTerminalReadsBackWhatStandardOutputWrites) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const FileDescriptor masterEnd(master), slaveEnd(slave);
    Decoder decoder({"-o", "rtcm", "--serial", ttyname(slave), "--baud", "38400"});
    // 40 frames fit in the pseudo-terminal's buffer: nothing needs reading while the decoder writes.
    EXPECT_EQ(decoder.decode(beaconRtcm(40)), 0) << decoder.errors();
    std::string received;
    char buffer[4096];
    for (pollfd polled{master, POLLIN, 0}; poll(&polled, 1, 0) == 1 && (polled.revents & POLLIN);) {
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        received.append(buffer, static_cast<std::size_t>(got));
    }
    EXPECT_FALSE(decoder.output().empty());
    EXPECT_EQ(received, decoder.output());
    EXPECT_NE(decoder.errors().find("38400 baud: 40 frames written, 0 dropped"), std::string::npos) << decoder.errors();
}

}  // namespace
}  // namespace sondeco
