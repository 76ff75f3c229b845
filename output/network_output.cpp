// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/network_output.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace sondeco {
namespace {

constexpr int SendBufferBytes = 64 * 1024;

// `text` in double quotes. Built by appending: GCC 12 at -O3 warns, wrongly, of overlapping copies in
// "literal" + std::string(...).
std::string quoted(std::string_view text) {
    std::string result(1, '"');
    result.append(text);
    result += '"';
    return result;
}

std::optional<int> parsePort(std::string_view text) {
    int port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535) return std::nullopt;
    return port;
}

// "127.0.0.1:2101" or "[::1]:2101": where a listening socket is bound.
std::string boundAddress(int socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> service{};
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host.data(), host.size(), service.data(), service.size(),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    const bool ipv6 = address.ss_family == AF_INET6;
    return (ipv6 ? "[" : "") + std::string(host.data()) + (ipv6 ? "]:" : ":") + service.data();
}

int localPort(int socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

// Bytes the kernel still holds for the peer: not sent yet, or sent and not acknowledged.
int unacknowledgedBytes(int socket) {
    int bytes = 0;
    return ioctl(socket, TIOCOUTQ, &bytes) == 0 ? bytes : 0;
}

}  // namespace

std::optional<ListenAddress> parseListenAddress(std::string_view text, std::string& problem) {
    ListenAddress address;
    if (const auto at = text.rfind('@'); at != std::string_view::npos) {
        const std::string_view station = text.substr(at + 1);
        int id = -1;
        const auto [end, error] = std::from_chars(station.data(), station.data() + station.size(), id);
        if (station.empty() || error != std::errc() || end != station.data() + station.size() || id < 0 || id > 1023) {
            problem = quoted(station) + " after @ in " + quoted(text) + " is not a station ID (0 to 1023)";
            return std::nullopt;
        }
        address.stationId = id;
        text = text.substr(0, at);
    }
    const auto slash = text.rfind('/');
    if (slash != std::string_view::npos) {
        address.format = outputFormatNamed(text.substr(slash + 1));
        if (!address.format) {
            problem = "unknown format " + quoted(text.substr(slash + 1)) + " in " + quoted(text) + " (rtcm, json, frames or pages)";
            return std::nullopt;
        }
        text = text.substr(0, slash);
    }
    if (address.stationId && address.format == OutputFormat::Pages) {
        problem = "@STATION chooses the frames of an rtcm, json or frames stream; pages show every station";
        return std::nullopt;
    }
    std::string_view port = text;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close == 1 || close + 1 >= text.size() || text[close + 1] != ':') {
            problem = quoted(text) + " is not [IPv6-ADDRESS]:PORT";
            return std::nullopt;
        }
        address.host = std::string(text.substr(1, close - 1));
        port = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        const std::string_view host = text.substr(0, colon);
        if (host.find(':') != std::string_view::npos) {
            problem = "write an IPv6 address in brackets: [" + std::string(host) + "]:PORT";
            return std::nullopt;
        }
        if (host.empty()) {
            problem = "no host before the colon in " + quoted(text);
            return std::nullopt;
        }
        address.host = std::string(host);
        port = text.substr(colon + 1);
    }
    const auto number = parsePort(port);
    if (!number) {
        problem = quoted(port) + " is not a port number (1 to 65535)";
        return std::nullopt;
    }
    address.port = *number;
    return address;
}

NetworkOutput::NetworkOutput(OutputFormat format, std::string device, std::size_t queueLimit, std::size_t maxClients)
    : formatter_(format, std::move(device)), queueLimit_(queueLimit), maxClients_(maxClients) {}

NetworkOutput::~NetworkOutput() {
    stopServing();
    // Whatever a client sent us is read first: closing over unread input would reset the connection,
    // and a reset can throw away what the client has received but not yet read.
    for (auto& client : clients_) readAndDiscard(*client);
}

bool NetworkOutput::listen(const std::string& host, int port, std::string& problem) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    if (const int error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); error != 0) {
        problem = "cannot listen on " + where + ": " + gai_strerror(error);
        return false;
    }
    std::vector<FileDescriptor> sockets;
    std::vector<std::string> addresses;
    int chosenPort = port;
    std::string failure;
    std::string unavailable;  // why an address was passed over, should none be left
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        FileDescriptor socket(::socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, entry->ai_protocol));
        if (!socket.valid()) {
            if (errno != EAFNOSUPPORT) failure = std::strerror(errno);
            unavailable = std::strerror(errno);
            continue;
        }
        const int yes = 1;
        setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // "::" stands for IPv6 only; "0.0.0.0" beside it (as "localhost" gives) binds on its own.
        if (entry->ai_family == AF_INET6) setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
        sockaddr_storage address{};
        std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
        // With port 0, every address of the host takes the port the first one was given.
        if (address.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(address).sin_port = htons(static_cast<std::uint16_t>(chosenPort));
        if (address.ss_family == AF_INET6)
            reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(static_cast<std::uint16_t>(chosenPort));
        // A long queue of pending connections: a burst of clients waits there for the server thread
        // rather than being dropped by the kernel.
        if (bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), entry->ai_addrlen) != 0 ||
            ::listen(socket.get(), SOMAXCONN) != 0) {
            // A host name may stand for an address family this machine does not have configured.
            if (errno != EADDRNOTAVAIL && errno != EAFNOSUPPORT) failure = std::strerror(errno);
            unavailable = std::strerror(errno);
            continue;
        }
        chosenPort = localPort(socket.get());
        addresses.push_back(boundAddress(socket.get()));
        sockets.push_back(std::move(socket));
    }
    freeaddrinfo(found);
    if (sockets.empty() || !failure.empty()) {
        problem = "cannot listen on " + where + ": " + (failure.empty() ? unavailable : failure);
        return false;
    }
    {
        const std::lock_guard lock(mutex_);
        for (auto& socket : sockets) listeners_.push_back(std::move(socket));
    }
    addresses_.insert(addresses_.end(), addresses.begin(), addresses.end());
    port_ = chosenPort;
    if (!thread_.joinable()) {
        wakeUp_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        thread_ = std::thread([this] { serve(); });
    } else {
        wake();
    }
    return true;
}

void NetworkOutput::acceptClients() {
    removeGoneClients();
    for (const FileDescriptor& listener : listeners_) {
        while (true) {
            FileDescriptor socket(accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!socket.valid()) break;  // EAGAIN: nobody else waiting (other errors: try at the next wake-up)
            if (clients_.size() >= maxClients_) {
                // A client that has closed its sending side is most likely gone altogether (a probe
                // that connects and closes; from here a half-closed reader looks the same until a
                // send fails), so its place goes to the newcomer, the one that left longest ago first.
                const auto finished =
                    std::find_if(clients_.begin(), clients_.end(), [](const ClientPointer& client) { return client->peerFinishedSending; });
                if (finished == clients_.end()) {
                    // Closed at once: the client sees its connection end now instead of hanging.
                    ++statistics_.clientsRefused;
                    continue;
                }
                clients_.erase(finished);
            }
            // Each unit goes out as soon as it is complete; nothing is gained by holding it back.
            const int yes = 1;
            setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            // Left to itself the kernel lets the send buffer grow to megabytes for a client that
            // reads nothing, which would hide it from the queue limit. A fixed buffer still carries
            // a megabyte a second across a link of 100 ms, many times what we send.
            const int sendBuffer = SendBufferBytes;
            setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
            auto client = std::make_shared<Client>();
            client->socket = std::move(socket);
            clients_.push_back(std::move(client));
            ++statistics_.clientsAccepted;
        }
    }
}

void NetworkOutput::readAndDiscard(Client& client) {
    std::array<char, 4096> discard;
    while (!client.peerFinishedSending && !client.gone) {
        const ssize_t got = recv(client.socket.get(), discard.data(), discard.size(), MSG_DONTWAIT);
        if (got > 0) continue;
        if (got == 0) {
            // A client may close its sending side and go on reading (nc with its input at an end).
            client.peerFinishedSending = true;
            break;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) client.gone = true;
        break;
    }
}

void NetworkOutput::writeQueued(Client& client) {
    while (!client.gone && !client.queue.empty()) {
        const std::string& front = *client.queue.front();
        const ssize_t sent =
            send(client.socket.get(), front.data() + client.sentOfFront, front.size() - client.sentOfFront, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) client.gone = true;
            return;
        }
        client.sentOfFront += static_cast<std::size_t>(sent);
        client.queuedBytes -= static_cast<std::size_t>(sent);
        if (client.sentOfFront == front.size()) {
            client.queue.pop_front();
            client.sentOfFront = 0;
        }
    }
}

void NetworkOutput::serviceOnce(int timeoutMilliseconds, bool listening) {
    std::vector<pollfd> polled;
    std::vector<ClientPointer> polledClients;
    std::size_t listenerCount = 0;
    {
        const std::lock_guard lock(mutex_);
        if (wakeUp_.valid()) polled.push_back({wakeUp_.get(), POLLIN, 0});
        if (listening) {
            for (const FileDescriptor& listener : listeners_) polled.push_back({listener.get(), POLLIN, 0});
            listenerCount = listeners_.size();
        }
        for (const ClientPointer& client : clients_) {
            const auto events = static_cast<short>((client->peerFinishedSending ? 0 : POLLIN) | (client->queue.empty() ? 0 : POLLOUT));
            polled.push_back({client->socket.get(), events, 0});
            polledClients.push_back(client);
        }
    }
    if (poll(polled.data(), polled.size(), timeoutMilliseconds) <= 0) return;
    const std::lock_guard lock(mutex_);
    std::size_t at = 0;
    if (wakeUp_.valid() && (polled[at++].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(wakeUp_.get(), &count, sizeof count);
    }
    bool newClients = false;
    for (std::size_t i = 0; i < listenerCount; ++i) newClients = newClients || (polled[at++].revents & POLLIN) != 0;
    if (newClients) acceptClients();
    for (const ClientPointer& client : polledClients) {
        const auto events = polled[at++].revents;
        if (client->gone) continue;
        if (events & (POLLIN | POLLERR | POLLHUP)) readAndDiscard(*client);
        // Hung up both ways, or an error the connection cannot recover from: sending is pointless.
        if (events & (POLLNVAL | POLLERR) || (events & POLLHUP && client->peerFinishedSending)) client->gone = true;
        if (events & POLLOUT) writeQueued(*client);
    }
    removeGoneClients();
}

void NetworkOutput::serve() {
    while (!stopping_.load()) serviceOnce(-1, true);
}

void NetworkOutput::wake() {
    if (!wakeUp_.valid()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeUp_.get(), &one, sizeof one);
}

void NetworkOutput::stopServing() {
    if (!thread_.joinable()) return;
    stopping_.store(true);
    wake();
    thread_.join();
}

void NetworkOutput::removeGoneClients() {
    std::erase_if(clients_, [](const ClientPointer& client) { return client->gone; });
}

void NetworkOutput::enqueue(Client& client, Unit unit) {
    if (client.gone) return;
    client.queuedBytes += unit->size();
    client.queue.push_back(std::move(unit));
    writeQueued(client);
    if (!client.gone && client.queuedBytes > queueLimit_) {
        // Too far behind to catch up with what matters now. Its connection still holds part of a unit
        // at most; the client sees the connection end rather than a stream with a hole in it.
        ++statistics_.clientsCut;
        client.gone = true;
    }
}

void NetworkOutput::publish(std::string text) {
    if (text.empty()) return;
    const auto unit = std::make_shared<const std::string>(std::move(text));
    for (auto& client : clients_) enqueue(*client, unit);
    removeGoneClients();
}

void NetworkOutput::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    if (format() == OutputFormat::Pages) return;
    const std::lock_guard lock(mutex_);
    // A client that connected before this frame gets it, whether or not the thread has taken it yet.
    acceptClients();
    if (clients_.empty()) return;  // with nobody there, the unit is not even formatted
    if (format() != OutputFormat::Rtcm) {
        std::string text;
        formatter_.frameCompleted(frame, message, text);
        publish(std::move(text));
    } else {
        // Each client's stream continues its own parity chain, so that a client that joined late
        // starts with a frame any decoder locks onto at once. Clients whose chains stand alike (all
        // those that came before the first frame) share one encoding: there are only four states.
        std::array<Unit, 4> encodings{};
        std::array<RtcmEncoder, 4> after{};
        for (auto& client : clients_) {
            const auto state = static_cast<std::size_t>(client->chain.lastD29() * 2 + client->chain.lastD30());
            if (!encodings[state]) {
                after[state] = client->chain;
                std::string bytes;
                appendRtcmFrameBytes(frame, message, after[state], bytes);
                encodings[state] = std::make_shared<const std::string>(std::move(bytes));
            }
            client->chain = after[state];
            enqueue(*client, encodings[state]);
        }
        removeGoneClients();
    }
    // The thread watches for room to send what did not go at once, and for the new clients' hang-ups.
    wake();
}

void NetworkOutput::pagePublished(int page, const std::string& text) {
    if (format() != OutputFormat::Pages) return;
    const std::lock_guard lock(mutex_);
    acceptClients();
    if (clients_.empty()) return;
    std::string out;
    formatter_.pagePublished(page, text, out);
    publish(std::move(out));
    wake();
}

std::size_t NetworkOutput::clientCount() const {
    const std::lock_guard lock(mutex_);
    return clients_.size();
}

NetworkOutputStatistics NetworkOutput::statistics() const {
    const std::lock_guard lock(mutex_);
    return statistics_;
}

bool NetworkOutput::allDelivered() const {
    return std::all_of(clients_.begin(), clients_.end(),
                       [](const ClientPointer& client) { return client->queue.empty() && unacknowledgedBytes(client->socket.get()) == 0; });
}

void NetworkOutput::finish(std::chrono::steady_clock::time_point deadline) {
    // From here on this thread alone serves the clients it has; nobody new is taken.
    stopServing();
    listeners_.clear();
    const auto delivered = [this] {
        const std::lock_guard lock(mutex_);
        return clients_.empty() || allDelivered();
    };
    while (!delivered()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        // poll() wakes for room to write, not for acknowledgements: look again every few milliseconds.
        serviceOnce(static_cast<int>(std::min<long long>(left, 5)), false);
    }
    const std::lock_guard lock(mutex_);
    for (auto& client : clients_) {
        readAndDiscard(*client);
        shutdown(client->socket.get(), SHUT_WR);
    }
    clients_.clear();
}

}  // namespace sondeco
