// SPDX-License-Identifier: GPL-3.0-or-later
// The TCP server of --listen over real sockets on this machine, driven by a receiver fed an RTCM
// stream: the addresses it takes, what clients that come early, come late, stop reading or leave
// receive, and that nothing of it holds up decoding.

#include "output/network_output.h"
#include "present/message_pages.h"
#include "tests/output/feed_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace sondeco {
namespace {

using namespace sondeco::testing;

// What the same format on standard output would carry: the reference every client is held to.
class Recorder final : public DecoderListener {
public:
    explicit Recorder(OutputFormat format) : formatter_(format, "test") {}
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override {
        formatter_.frameCompleted(frame, message, text);
        ++frames;
    }
    std::string text;
    int frames = 0;

private:
    OutputFormatter formatter_;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

TEST(ListenAddress, ReadsHostPortAndFormatAndNamesEveryMistake) {
    struct Case {
        const char* text;
        const char* host;
        int port;
        std::optional<OutputFormat> format;
    };
    for (const Case& c :
         {Case{"2101", "127.0.0.1", 2101, std::nullopt}, Case{"2101/json", "127.0.0.1", 2101, OutputFormat::Json},
          Case{"0.0.0.0:2102/rtcm", "0.0.0.0", 2102, OutputFormat::Rtcm}, Case{"[::1]:65535/pages", "::1", 65535, OutputFormat::Pages},
          Case{"localhost:1/frames", "localhost", 1, OutputFormat::Frames}}) {
        std::string problem;
        const auto address = parseListenAddress(c.text, problem);
        ASSERT_TRUE(address) << c.text << ": " << problem;
        EXPECT_EQ(address->host, c.host) << c.text;
        EXPECT_EQ(address->port, c.port) << c.text;
        EXPECT_EQ(address->format, c.format) << c.text;
    }
    for (const char* text : {"", "0", "65536", "21x1", "-5", "2101/", "2101/xml", ":2101", "::1:2101", "[::1]2101", "[]:2101",
                             "[::1]:", "host:", "host:port"}) {
        std::string problem;
        EXPECT_FALSE(parseListenAddress(text, problem)) << text;
        EXPECT_FALSE(problem.empty()) << text;
    }
}

TEST(NetworkOutput, APortInUseIsRefusedAndIPv6Listens) {
    NetworkOutput first(OutputFormat::Rtcm, "test");
    std::string problem;
    ASSERT_TRUE(first.listen("127.0.0.1", 0, problem)) << problem;
    EXPECT_EQ(first.addresses(), std::vector<std::string>{"127.0.0.1:" + std::to_string(first.port())});
    NetworkOutput second(OutputFormat::Rtcm, "test");
    EXPECT_FALSE(second.listen("127.0.0.1", first.port(), problem));
    EXPECT_NE(problem.find("in use"), std::string::npos) << problem;
    EXPECT_TRUE(second.addresses().empty());

    NetworkOutput ipv6(OutputFormat::Rtcm, "test");
    ASSERT_TRUE(ipv6.listen("::1", 0, problem)) << problem;
    EXPECT_EQ(ipv6.addresses(), std::vector<std::string>{"[::1]:" + std::to_string(ipv6.port())});
    EXPECT_FALSE(NetworkOutput(OutputFormat::Rtcm, "test").listen("192.0.2.1", 2101, problem)) << "not an address of this machine";
}

// With no frame decoded at all, clients are taken as they come and those beyond the limit are closed at
// once; a client that left meanwhile frees its place for the next.
TEST(NetworkOutput, ClientsAreTakenAndTurnedAwayWhileNothingIsDecoded) {
    std::string problem;
    NetworkOutput json(OutputFormat::Json, "test", NetworkOutput::DefaultQueueLimit, 3);
    ASSERT_TRUE(json.listen("127.0.0.1", 0, problem)) << problem;
    std::vector<FileDescriptor> clients;
    for (int i = 0; i < 5; ++i) clients.push_back(connectTo(json.port()));
    ASSERT_TRUE(waitFor([&] { return json.statistics().clientsRefused == 2; }, secondsFromNow(5)));
    EXPECT_EQ(json.clientCount(), 3u);
    std::string ignored;
    EXPECT_EQ(std::count_if(clients.begin(), clients.end(), [&](const FileDescriptor& c) { return !readAvailable(c.get(), ignored); }), 2);

    // A client that connected and closed (a port probe) gives its place to the next one.
    const auto taken =
        std::find_if(clients.begin(), clients.end(), [&](const FileDescriptor& c) { return readAvailable(c.get(), ignored); });
    ASSERT_NE(taken, clients.end());
    taken->reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const FileDescriptor next = connectTo(json.port());
    ASSERT_TRUE(waitFor([&] { return json.statistics().clientsAccepted == 4; }, secondsFromNow(5)));
    EXPECT_TRUE(readAvailable(next.get(), ignored)) << "taken, not turned away";
    EXPECT_EQ(json.clientCount(), 3u);
    EXPECT_EQ(json.statistics().clientsRefused, 2u);
    json.finish(secondsFromNow(5));
}

// What the RTCM format makes of a stream when it starts afresh: for a stream that itself started
// afresh, the stream unchanged.
std::string reencoded(const std::string& bytes) {
    Recorder recorder(OutputFormat::Rtcm);
    Receiver receiver;
    receiver.addListener(recorder);
    receiver.pushRtcmBytes(bytes);
    return recorder.text;
}

// Clients that were there from the start get exactly what standard output gets, byte for byte.
// Clients that join half-way through a frame start with the next whole one, and in RTCM with a
// parity chain of their own: their streams start as a fresh stream does, which any decoder locks
// onto at the first frame, whatever the parity bits the frame before them ended with.
TEST(NetworkOutput, EveryClientGetsWholeFramesFromTheMomentItConnects) {
    std::string problem;
    NetworkOutput rtcm(OutputFormat::Rtcm, "test");
    NetworkOutput json(OutputFormat::Json, "test");
    ASSERT_TRUE(rtcm.listen("127.0.0.1", 0, problem)) << problem;
    ASSERT_TRUE(json.listen("127.0.0.1", 0, problem)) << problem;
    Recorder rtcmReference(OutputFormat::Rtcm);
    Recorder jsonReference(OutputFormat::Json);
    Receiver receiver;
    for (DecoderListener* listener : std::initializer_list<DecoderListener*>{&rtcmReference, &jsonReference, &rtcm, &json})
        receiver.addListener(*listener);

    const FileDescriptor early1 = connectTo(rtcm.port());
    const FileDescriptor early2 = connectTo(rtcm.port());
    const FileDescriptor earlyJson = connectTo(json.port());
    const std::string stream = beaconRtcm(60);
    // Late clients join at five places, each part of the way through a frame.
    struct Late {
        FileDescriptor rtcm, json;
        int framesBefore = 0;
    };
    std::vector<Late> late;
    std::size_t fed = 0;
    for (int join = 1; join <= 5; ++join) {
        const std::size_t until = stream.size() * static_cast<std::size_t>(join) / 6 + static_cast<std::size_t>(join) * 3;
        receiver.pushRtcmBytes(std::string_view(stream).substr(fed, until - fed));
        fed = until;
        late.push_back({connectTo(rtcm.port()), connectTo(json.port()), rtcmReference.frames});
    }
    receiver.pushRtcmBytes(std::string_view(stream).substr(fed));
    EXPECT_EQ(rtcm.clientCount(), 7u);
    rtcm.finish(secondsFromNow(10));
    json.finish(secondsFromNow(10));

    ASSERT_EQ(rtcmReference.frames, 60);
    EXPECT_EQ(rtcmReference.text, stream) << "a fresh stream re-encodes to itself";
    EXPECT_EQ(readToEnd(early1.get(), secondsFromNow(10)), rtcmReference.text);
    EXPECT_EQ(readToEnd(early2.get(), secondsFromNow(10)), rtcmReference.text);
    EXPECT_EQ(readToEnd(earlyJson.get(), secondsFromNow(10)), jsonReference.text);

    const auto allLines = splitLines(jsonReference.text);
    for (const Late& client : late) {
        SCOPED_TRACE("joined after frame " + std::to_string(client.framesBefore));
        const auto expectedFrames = static_cast<std::size_t>(60 - client.framesBefore);
        const std::string bytes = readToEnd(client.rtcm.get(), secondsFromNow(10));
        EXPECT_EQ(decodeRtcm(bytes).frames, expectedFrames);
        EXPECT_EQ(reencoded(bytes), bytes);
        const auto lines = splitLines(readToEnd(client.json.get(), secondsFromNow(10)));
        ASSERT_EQ(lines.size(), expectedFrames);
        EXPECT_TRUE(std::equal(lines.begin(), lines.end(), allLines.end() - static_cast<std::ptrdiff_t>(lines.size())));
    }
    EXPECT_EQ(rtcm.statistics().clientsAccepted, 7u);
    EXPECT_EQ(rtcm.statistics().clientsCut, 0u);
}

// One client never reads, one leaves half-way, one reads as it goes: the first is cut once its
// queue is full, the second simply dropped, and the third gets every page; decoding never waits.
TEST(NetworkOutput, AClientThatStopsReadingIsCutAndTheOthersGetEverything) {
    std::string problem;
    NetworkOutput pages(OutputFormat::Pages, "test", 32 * 1024);
    ASSERT_TRUE(pages.listen("127.0.0.1", 0, problem)) << problem;
    MessagePages messagePages;
    Receiver receiver;
    receiver.addListener(messagePages);
    messagePages.addListener(pages);
    std::string reference;
    struct PageRecorder final : PageListener {
        explicit PageRecorder(std::string& into) : text(into) {}
        void pagePublished(int page, const std::string& pageText) override { formatter.pagePublished(page, pageText, text); }
        OutputFormatter formatter{OutputFormat::Pages, "test"};
        std::string& text;
    } recorder(reference);
    messagePages.addListener(recorder);

    const FileDescriptor stuck = connectTo(pages.port(), 4096);
    FileDescriptor leaving = connectTo(pages.port());
    const FileDescriptor reader = connectTo(pages.port());
    const std::string stream = beaconRtcm(400);
    std::string received;
    const std::size_t piece = stream.size() / 40;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        receiver.pushRtcmBytes(std::string_view(stream).substr(at, piece));
        if (at == 10 * piece) leaving.reset();
        readAvailable(reader.get(), received);
    }
    EXPECT_EQ(receiver.decoder().statistics().frames, 400u);
    EXPECT_EQ(pages.statistics().clientsAccepted, 3u);
    EXPECT_EQ(pages.statistics().clientsCut, 1u);
    EXPECT_EQ(pages.clientCount(), 1u) << "the reader alone is left";
    pages.finish(secondsFromNow(10));
    received += readToEnd(reader.get(), secondsFromNow(10));
    EXPECT_GT(reference.size(), 200u * 1024) << "enough pages to fill the stuck client's buffers";
    EXPECT_EQ(received, reference);
    // The stuck client sees its stream end: what it has is the start of the pages, nothing skipped.
    const std::string stuckBytes = readToEnd(stuck.get(), secondsFromNow(10));
    EXPECT_LT(stuckBytes.size(), reference.size() / 2);
    EXPECT_EQ(reference.compare(0, stuckBytes.size(), stuckBytes), 0);
}

}  // namespace
}  // namespace sondeco
