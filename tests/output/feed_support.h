// SPDX-License-Identifier: GPL-3.0-or-later
// What the tests of the network and serial feeds share: a beacon's RTCM stream, real TCP clients,
// child processes stopped by their process id, and waiting for a condition with a deadline.
#pragma once

#include "output/file_descriptor.h"
#include "receiver/receiver.h"
#include "rtcm/serial_format.h"
#include "signalgen/simulated_beacon.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace sondeco::testing {

using Clock = std::chrono::steady_clock;

inline Clock::time_point secondsFromNow(int seconds) { return Clock::now() + std::chrono::seconds(seconds); }

// Polls `condition` until it holds or the deadline passes; returns whether it held.
template <typename Condition>
bool waitFor(Condition&& condition, Clock::time_point deadline) {
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        poll(nullptr, 0, 10);
    }
    return true;
}

// `frames` frames of the simulated station as one fresh RTCM 6-of-8 stream.
inline std::string beaconRtcm(int frames) {
    SimulatedBeacon beacon(BeaconSettings{});
    std::vector<std::uint8_t> bits;
    for (int i = 0; i < frames; ++i) beacon.appendNextFrame(bits);
    SerialWriter writer;
    for (std::uint8_t bit : bits) writer.pushBit(bit);
    return writer.takeBytes();
}

// What a fresh decoder makes of an RTCM stream.
inline DecoderStatistics decodeRtcm(const std::string& bytes) {
    Receiver receiver;
    receiver.pushRtcmBytes(bytes);
    return receiver.decoder().statistics();
}

// A port nobody listens on at the moment of asking.
inline int freePort() {
    FileDescriptor probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// A connected TCP client of 127.0.0.1:port (or [::1]:port), or an invalid descriptor. `receiveBuffer`
// > 0 shrinks the client's receive buffer, so that a client that never reads fills up soon.
inline FileDescriptor connectTo(int port, int receiveBuffer = 0, bool ipv6 = false) {
    FileDescriptor client(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0) setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons(static_cast<std::uint16_t>(port));
    address6.sin6_addr = in6addr_loopback;
    const int result = ipv6 ? connect(client.get(), reinterpret_cast<sockaddr*>(&address6), sizeof address6)
                            : connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (result != 0) client.reset();
    return client;
}

// Reads what is there now without waiting; returns false once the peer has closed.
inline bool readAvailable(int descriptor, std::string& into) {
    char buffer[65536];
    while (true) {
        const ssize_t got = recv(descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
}

// Everything until the peer closes (a reset counts as closing), or the deadline.
inline std::string readToEnd(int descriptor, Clock::time_point deadline) {
    std::string all;
    waitFor([&] { return !readAvailable(descriptor, all); }, deadline);
    return all;
}

// TCP sockets of this machine on local port `port` in `state` ("0A" listening, "01" established,
// the server's end of a connection).
inline int socketsOnPort(int port, const char* state) {
    int count = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream file(table);
        std::string line;
        std::getline(file, line);
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, socketState;
            fields >> slot >> local >> remote >> socketState;
            const auto colon = local.rfind(':');
            if (colon != std::string::npos && std::stoi(local.substr(colon + 1), nullptr, 16) == port && socketState == state) ++count;
        }
    }
    return count;
}

// A program run with its standard input a pipe of ours (or /dev/null) and its outputs in files. It is
// stopped by its process id when it goes out of scope.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments, const std::filesystem::path& output, const std::filesystem::path& errors,
                 bool pipeInput) {
        // Emptied here, before the program starts: a test that waits for a line in them must not
        // find a line of the run before.
        std::ofstream(output, std::ios::trunc).flush();
        std::ofstream(errors, std::ios::trunc).flush();
        int input[2] = {-1, -1};
        if (pipeInput && pipe2(input, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            const int in = pipeInput ? input[0] : open("/dev/null", O_RDONLY);
            const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv;
            for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (pipeInput) {
            close(input[0]);
            input_.reset(input[1]);
        }
    }
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool write(const std::string& bytes) {
        signal(SIGPIPE, SIG_IGN);  // a program that ended early is a failed write, not a killed test
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t wrote = ::write(input_.get(), bytes.data() + done, bytes.size() - done);
            if (wrote <= 0) return false;
            done += static_cast<std::size_t>(wrote);
        }
        return true;
    }
    void closeInput() { input_.reset(); }

    // The exit status once it has ended by itself before the deadline; nothing otherwise.
    std::optional<int> waitExit(Clock::time_point deadline) {
        waitFor([&] { return reap(); }, deadline);
        return status_;
    }
    void sendSignal(int signal) {
        if (pid_ > 0 && !reap()) kill(pid_, signal);
    }
    // Whether it has ended, by itself or killed by a signal.
    bool ended() { return reap(); }
    // Asks it to end (SIGTERM), then insists (SIGKILL) if it has not within five seconds.
    void stop() {
        if (pid_ <= 0 || reap()) return;
        kill(pid_, SIGTERM);
        if (!waitFor([&] { return reap(); }, secondsFromNow(5))) {
            kill(pid_, SIGKILL);
            waitFor([&] { return reap(); }, secondsFromNow(5));
        }
    }

private:
    bool reap() {
        if (pid_ <= 0 || ended_) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        ended_ = true;
        if (WIFEXITED(status)) status_ = WEXITSTATUS(status);
        return true;
    }

    pid_t pid_ = -1;
    bool ended_ = false;
    std::optional<int> status_;
    FileDescriptor input_;
};

}  // namespace sondeco::testing
