// SPDX-License-Identifier: GPL-3.0-or-later
// A TCP server that sends one output format to every client connected to it: RTCM bytes for gpsd,
// RTKLIB or an NTRIP caster, JSON lines or text for loggers. Clients come and go at any time.
//
// It runs on the decoding thread, driven by the decoder's events: non-blocking sockets, one poll()
// per event, nothing that waits. We chose this over a thread of its own because frames come at
// most a few times a second in real time (a few thousand a second from a file), so the cost per
// event is a handful of system calls, and there is then no second thread to hand frames to, no
// lock, and no thread to stop safely in the window's shutdown. A client whose connection does not
// take what we send (stopped reading, gone without a word) gathers a queue of its own; past a
// limit it is cut, so it can never hold up decoding or take memory without bound.
#pragma once

#include "output/decoded_output.h"
#include "output/file_descriptor.h"
#include "rtcm/decoder_listener.h"
#include "rtcm/rtcm_encoder.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

// Where to listen and what to send, as the command line writes it: "[HOST:]PORT[/FORMAT]".
struct ListenAddress {
    std::string host = "127.0.0.1";  // nothing reaches the network unless the user names an address
    int port = 0;
    std::optional<OutputFormat> format;  // none: the program's main format
    std::optional<int> stationId;  // only this reference station's frames
};

// Reads "[HOST:]PORT[/FORMAT][@STATION]": "2101", "0.0.0.0:2101/rtcm", "[::1]:2101/json",
// "localhost:2101", "2101/rtcm@12". An IPv6 address goes in brackets, since its colons would otherwise
// run into the port's. On a mistake, returns nothing and says what is wrong in `problem`.
std::optional<ListenAddress> parseListenAddress(std::string_view text, std::string& problem);

struct NetworkOutputStatistics {
    std::uint64_t clientsAccepted = 0;
    std::uint64_t clientsCut = 0;  // fell further behind than their queue holds
    std::uint64_t clientsRefused = 0;  // came while MaxClients were connected
};

class NetworkOutput final : public DecoderListener {
public:
    // What a client may have waiting beyond what its connection has taken, before it is cut: for RTCM
    // at 200 bit/s over two hours, for JSON many minutes of a file decoded at full speed.
    static constexpr std::size_t DefaultQueueLimit = 256 * 1024;
    static constexpr std::size_t MaxClients = 64;

    NetworkOutput(OutputFormat format, std::string device, std::size_t queueLimit = DefaultQueueLimit);
    ~NetworkOutput() override;
    NetworkOutput(const NetworkOutput&) = delete;
    NetworkOutput& operator=(const NetworkOutput&) = delete;

    // Listens on every address `host` stands for ("localhost" may be two); port 0 lets the system
    // choose. On failure, false and the reason in `problem`, and nothing is left listening.
    bool listen(const std::string& host, int port, std::string& problem);
    // "127.0.0.1:2101" or "[::1]:2101" for each socket listening.
    const std::vector<std::string>& addresses() const { return addresses_; }
    int port() const { return port_; }
    OutputFormat format() const { return formatter_.format(); }

    // Takes new clients, reads and drops what clients send, and writes what is queued. Never waits.
    // The decoder's events call it; a program may call it between events too.
    void service();
    // At the end of the input: stops taking clients, waits until `deadline` at the latest for every
    // client to have taken (and acknowledged) all that was queued for it, then closes every connection.
    void finish(std::chrono::steady_clock::time_point deadline);

    std::size_t clientCount() const { return clients_.size(); }
    const NetworkOutputStatistics& statistics() const { return statistics_; }

    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;
    void pagePublished(int page, const std::string& text) override;

private:
    using Unit = std::shared_ptr<const std::string>;
    struct Client {
        FileDescriptor socket;
        std::deque<Unit> queue;  // whole units: a line, a page, a frame's RTCM bytes
        std::size_t sentOfFront = 0;
        std::size_t queuedBytes = 0;
        RtcmEncoder chain;  // the parity chain of this client's RTCM stream, from its first frame
        bool peerFinishedSending = false;
        bool gone = false;
    };

    void acceptClients();
    // One poll() over the clients: reads, hang-ups, and writes where the connection has room.
    void pollClients(int timeoutMilliseconds);
    void readAndDiscard(Client& client);
    void writeQueued(Client& client);
    void enqueue(Client& client, Unit unit);
    void removeGoneClients();
    // Takes new clients and serves the others; true if anyone is left to send the next unit to (with
    // nobody there, it is not even formatted).
    bool anyoneListening();
    void publish(std::string text);
    bool allDelivered() const;

    OutputFormatter formatter_;
    std::size_t queueLimit_;
    std::vector<FileDescriptor> listeners_;
    std::vector<std::string> addresses_;
    int port_ = 0;
    std::vector<std::unique_ptr<Client>> clients_;
    NetworkOutputStatistics statistics_;
};

}  // namespace sondeco
