// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: TCP clients of the frame server (`--listen`) that send it anything and behave as
// clients do: connect before the first frame or between frames, send bytes of their own (what gpsd,
// an NTRIP caster or a port scanner may send), close their sending side, stop reading with a small
// receive buffer, hang up or reset their connection midway. Meanwhile a beacon's RTCM stream goes
// through a Receiver whose frames the server publishes in one of the four formats, with a limit on
// clients and on what a client may leave unread. Each run has its own server on 127.0.0.1, on a port
// the system chooses, with its thread; a run takes a few milliseconds, more when a client leaves
// data unread until the end.
//
// Beyond never crashing and never blocking the decoding thread (libFuzzer's timeout):
// - what a client reads is whole units of the format (RTCM frames, lines, pages), exactly those
//   published from the first one after it connected on, in order, none left out in between: for the
//   RTCM format, a stream of its own that a fresh decoder takes without a parity failure;
// - a client that reads throughout and keeps its connection, while no more clients come than the
//   server takes, gets every unit to the end;
// - the server's counts agree with the clients that came.
//
// The input's last bytes choose the server and the clients; its first bytes are what the clients send.

#include "output/network_output.h"
#include "present/message_pages.h"
#include "receiver/receiver.h"
#include "rtcm/serial_format.h"
#include "signalgen/simulated_beacon.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace sondeco;
using Clock = std::chrono::steady_clock;

// Every unit the server is given, formatted as the server formats it; for RTCM, the frames
// themselves, since each client's stream is encoded on a parity chain of its own.
class Published final : public DecoderListener, public PageListener {
public:
    explicit Published(OutputFormat format) : formatter_(format, "fuzz") {}
    std::vector<std::string> units;
    std::vector<std::pair<RtcmFrame, DecodedMessage>> frames;

    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override {
        if (formatter_.format() == OutputFormat::Pages) return;
        frames.emplace_back(frame, message);
        std::string text;
        formatter_.frameCompleted(frame, message, text);
        units.push_back(std::move(text));
    }
    void pagePublished(int page, const std::string& text) override {
        std::string out;
        formatter_.pagePublished(page, text, out);
        if (!out.empty()) units.push_back(std::move(out));
    }

    // What a client that joined before unit `first` should have read, unit by unit.
    std::vector<std::string> from(std::size_t first) const {
        if (formatter_.format() != OutputFormat::Rtcm) return {units.begin() + static_cast<std::ptrdiff_t>(first), units.end()};
        std::vector<std::string> stream;
        RtcmEncoder chain;
        for (std::size_t f = first; f < frames.size(); ++f) {
            stream.emplace_back();
            appendRtcmFrameBytes(frames[f].first, frames[f].second, chain, stream.back());
        }
        return stream;
    }

private:
    OutputFormatter formatter_;
};

struct Client {
    int connectBefore = 0;  // the frame before which it connects
    bool reads = true;
    bool smallBuffer = false;
    bool halfClose = false;
    int closeBefore = 0;  // the frame before which it hangs up; past the last: never
    bool reset = false;  // hangs up with a reset rather than a close
    std::string says;

    FileDescriptor socket;
    bool connected = false;
    bool closed = false;
    std::size_t firstUnit = 0;
    std::string received;
};

void connect(Client& client, int port) {
    client.socket.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    FUZZ_CHECK(client.socket.valid());
    if (client.smallBuffer) {
        const int size = 1024;
        setsockopt(client.socket.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The listen queue is long: a connection completes whether or not the server has taken it yet.
    FUZZ_CHECK(::connect(client.socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
    client.connected = true;
    if (!client.says.empty()) {
        [[maybe_unused]] const ssize_t sent =
            send(client.socket.get(), client.says.data(), client.says.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (client.halfClose) shutdown(client.socket.get(), SHUT_WR);
}

// Reads what has arrived; returns false once the server has closed (or reset) the connection.
bool readAvailable(Client& client) {
    std::array<char, 65536> buffer;
    while (true) {
        const ssize_t got = recv(client.socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got > 0) {
            client.received.append(buffer.data(), static_cast<std::size_t>(got));
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
}

void hangUp(Client& client) {
    if (client.reset) {
        const linger abort{1, 0};
        setsockopt(client.socket.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    client.socket.reset();
    client.closed = true;
}

// The simulated station's frames as one RTCM 6-of-8 stream, frame by frame.
std::vector<std::string> stationFrames(int count, int stationId) {
    BeaconSettings settings;
    settings.stationId = stationId;
    SimulatedBeacon beacon(settings);
    std::vector<std::string> frames;
    SerialWriter writer;
    for (int i = 0; i < count; ++i) {
        std::vector<std::uint8_t> bits;
        beacon.appendNextFrame(bits);
        for (const std::uint8_t bit : bits) writer.pushBit(bit);
        frames.push_back(writer.takeBytes());
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto format = static_cast<OutputFormat>(input.ConsumeIntegralInRange<int>(0, 3));
    constexpr std::array<std::size_t, 4> QueueLimits{16, 300, 4096, NetworkOutput::DefaultQueueLimit};
    const std::size_t queueLimit = QueueLimits[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    const auto maxClients = input.ConsumeIntegralInRange<std::size_t>(1, 4);
    const int frameCount = input.ConsumeIntegralInRange<int>(1, 8);
    const int stationId = input.ConsumeIntegralInRange<int>(0, 1023);
    std::vector<Client> clients(input.ConsumeIntegralInRange<std::size_t>(1, 4));
    for (Client& client : clients) {
        client.connectBefore = input.ConsumeIntegralInRange<int>(0, frameCount);
        client.reads = input.ConsumeBool();
        client.smallBuffer = input.ConsumeBool();
        client.halfClose = input.ConsumeBool();
        client.closeBefore = input.ConsumeIntegralInRange<int>(0, 9);
        client.reset = input.ConsumeBool();
        client.says = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<std::size_t>(0, 2048));
    }

    NetworkOutput server(format, "fuzz", queueLimit, maxClients);
    std::string problem;
    FUZZ_CHECK(server.listen("127.0.0.1", 0, problem));
    FUZZ_CHECK(server.port() > 0 && server.addresses().size() == 1);

    Published published(format);
    Receiver receiver;
    MessagePages pages(fixedClock);
    receiver.addListener(server);
    receiver.addListener(published);
    if (format == OutputFormat::Pages) {
        receiver.addListener(pages);
        pages.addListener(server);
        pages.addListener(published);
    }
    const std::vector<std::string> frames = stationFrames(frameCount, stationId);
    std::size_t connections = 0;
    for (int step = 0; step <= frameCount; ++step) {
        for (Client& client : clients) {
            if (client.connected && !client.closed && client.closeBefore == step) hangUp(client);
            if (client.connected || client.connectBefore != step) continue;
            connect(client, server.port());
            client.firstUnit = format == OutputFormat::Rtcm ? published.frames.size() : published.units.size();
            ++connections;
        }
        for (Client& client : clients)
            if (client.connected && !client.closed && client.reads) readAvailable(client);
        if (step < frameCount) receiver.pushRtcmBytes(frames[static_cast<std::size_t>(step)]);
    }
    FUZZ_CHECK(published.frames.size() == static_cast<std::size_t>(frameCount) || format == OutputFormat::Pages);

    // The end of the input: a moment for what is queued, then every connection closed. The clients
    // are other programs: those that read go on reading meanwhile.
    std::atomic<bool> finished{false};
    std::thread finishing([&] {
        server.finish(Clock::now() + std::chrono::milliseconds(200));
        finished = true;
    });
    while (!finished) {
        for (Client& client : clients)
            if (client.connected && !client.closed && client.reads) readAvailable(client);
        poll(nullptr, 0, 1);
    }
    finishing.join();
    FUZZ_CHECK(server.clientCount() == 0);
    const NetworkOutputStatistics statistics = server.statistics();
    FUZZ_CHECK(statistics.clientsAccepted + statistics.clientsRefused <= connections);
    FUZZ_CHECK(statistics.clientsCut <= statistics.clientsAccepted);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (Client& client : clients) {
        if (!client.connected || client.closed) continue;
        while (readAvailable(client) && Clock::now() < deadline) poll(nullptr, 0, 1);
        FUZZ_CHECK(Clock::now() < deadline);  // the server closed every connection

        // Whole units, exactly those published since it came, in order, from the first on.
        const std::vector<std::string> expected = published.from(client.firstUnit);
        std::size_t at = 0, units = 0;
        while (units < expected.size() && client.received.compare(at, expected[units].size(), expected[units]) == 0 &&
               at + expected[units].size() <= client.received.size()) {
            at += expected[units].size();
            ++units;
        }
        FUZZ_CHECK(at == client.received.size());
        if (format == OutputFormat::Rtcm) {
            Receiver check;
            check.pushRtcmBytes(client.received);
            FUZZ_CHECK(check.decoder().statistics().parityFailures == 0 && check.decoder().statistics().frames == units);
        }
        // A client that kept reading and stayed gets everything, as long as the server took it.
        if (client.reads && connections <= maxClients) FUZZ_CHECK(units == expected.size());
    }
    return 0;
}
