// SPDX-License-Identifier: GPL-3.0-or-later
// A TCP server that sends one output format to every client connected to it: RTCM bytes for gpsd,
// RTKLIB or an NTRIP caster, JSON lines or text for loggers. Clients come and go at any time.
//
// A thread of its own takes new clients (and turns away those beyond the limit with a plain close)
// whenever they come, reads and drops what they send, and writes what is queued for them. It has to
// be a thread: the decoding thread may sit for minutes in a read of a silent pipe or between two
// frames of a slow beacon, and a server that accepted only when a frame was decoded left clients
// hanging in connect() meanwhile, and filled its listen queue with probes. The decoding thread
// formats each unit once, queues it for every client and tries to send it at once (non-blocking,
// under the one lock), so a unit goes out with no hand-over delay and decoding never waits for a
// client. A client whose connection does not take what we send (stopped reading, gone without a
// word) gathers a queue of its own; past a limit it is cut, so it can never hold up decoding or take
// memory without bound.
#pragma once

#include "output/decoded_output.h"
#include "output/file_descriptor.h"
#include "rtcm/decoder_listener.h"
#include "rtcm/rtcm_encoder.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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
    std::uint64_t clientsRefused = 0;  // came while the most clients allowed were connected
};

class NetworkOutput final : public DecoderListener, public PageListener {
public:
    // What a client may have waiting beyond what its connection has taken, before it is cut: for RTCM
    // at 200 bit/s over two hours, for JSON many minutes of a file decoded at full speed.
    static constexpr std::size_t DefaultQueueLimit = 256 * 1024;
    // Clients served at once unless told otherwise; each takes a descriptor, and the usual limit of a
    // process is 1024 of them.
    static constexpr std::size_t DefaultMaxClients = 64;
    static constexpr std::size_t HighestMaxClients = 900;

    NetworkOutput(OutputFormat format, std::string device, std::size_t queueLimit = DefaultQueueLimit,
                  std::size_t maxClients = DefaultMaxClients);
    ~NetworkOutput() override;
    NetworkOutput(const NetworkOutput&) = delete;
    NetworkOutput& operator=(const NetworkOutput&) = delete;

    // Listens on every address `host` stands for ("localhost" may be two); port 0 lets the system
    // choose. From the first address that listens, clients are taken. On failure, false and the
    // reason in `problem`, and nothing new is left listening.
    bool listen(const std::string& host, int port, std::string& problem);
    // "127.0.0.1:2101" or "[::1]:2101" for each socket listening.
    const std::vector<std::string>& addresses() const { return addresses_; }
    int port() const { return port_; }
    OutputFormat format() const { return formatter_.format(); }
    std::size_t maxClients() const { return maxClients_; }

    // At the end of the input: stops taking clients, waits until `deadline` at the latest for every
    // client to have taken (and acknowledged) all that was queued for it, then closes every connection.
    void finish(std::chrono::steady_clock::time_point deadline);

    std::size_t clientCount() const;
    NetworkOutputStatistics statistics() const;

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
    using ClientPointer = std::shared_ptr<Client>;

    // All of these with mutex_ held.
    void acceptClients();
    void readAndDiscard(Client& client);
    void writeQueued(Client& client);
    void enqueue(Client& client, Unit unit);
    void removeGoneClients();
    void publish(std::string text);
    bool allDelivered() const;
    // One poll() over the clients, without the lock while it waits: reads, hang-ups, and writes where
    // the connection has room. With `listening`, new clients too; a wake-up cuts the wait short.
    void serviceOnce(int timeoutMilliseconds, bool listening);

    void serve();  // the thread
    void stopServing();
    void wake();

    OutputFormatter formatter_;
    std::size_t queueLimit_;
    std::size_t maxClients_;
    std::vector<FileDescriptor> listeners_;
    std::vector<std::string> addresses_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<ClientPointer> clients_;
    NetworkOutputStatistics statistics_;
    FileDescriptor wakeUp_;  // an eventfd the decoding thread writes when the thread should look again
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

}  // namespace sondeco
