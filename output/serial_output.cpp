// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/serial_output.h"

#include "output/decoded_output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace sondeco {
namespace {

speed_t speedConstant(int baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        default:
            return B0;
    }
}

}  // namespace

const std::vector<int>& SerialOutput::supportedBaudRates() {
    static const std::vector<int> rates{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
    return rates;
}

SerialOutput::SerialOutput(std::string device, int baud, std::chrono::milliseconds retryInterval)
    : device_(std::move(device)), baud_(baud), retryInterval_(retryInterval) {}

namespace {

// Closing a serial port waits until what it holds has gone out, up to half a minute with some
// drivers. What is left when we give up waiting is thrown away instead; what has gone out already
// (a pseudo-terminal's peer has it the moment it is written) must not be, so only a port that
// still holds something is flushed.
void discardUnsent(int port) {
    int queued = 0;
    if (ioctl(port, TIOCOUTQ, &queued) == 0 && queued > 0) tcflush(port, TCOFLUSH);
}

}  // namespace

SerialOutput::~SerialOutput() {
    if (port_.valid()) discardUnsent(port_.get());
}

bool SerialOutput::openPort(std::string& problem) {
    FileDescriptor port(::open(device_.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!port.valid()) {
        problem = device_ + " cannot be opened: " + std::strerror(errno);
        return false;
    }
    termios settings{};
    if (tcgetattr(port.get(), &settings) != 0) {
        problem = device_ + " is not a serial port: " + std::strerror(errno);
        return false;
    }
    // Raw 8N1: no line-end translation, no echo, no software or hardware flow control, and the modem
    // lines ignored, since a receiver's correction input wires up none of them.
    cfmakeraw(&settings);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    const speed_t speed = speedConstant(baud_);
    if (speed == B0 || cfsetospeed(&settings, speed) != 0 || cfsetispeed(&settings, speed) != 0 ||
        tcsetattr(port.get(), TCSANOW, &settings) != 0) {
        problem = device_ + " cannot be set to " + std::to_string(baud_) +
                  " baud: " + (speed == B0 ? "not a standard speed" : std::strerror(errno));
        return false;
    }
    port_ = std::move(port);
    chain_ = RtcmEncoder();
    pending_.clear();
    return true;
}

bool SerialOutput::open(std::string& problem) {
    lastAttempt_ = std::chrono::steady_clock::now();
    return openPort(problem);
}

void SerialOutput::disconnect() {
    port_.reset();
    pending_.clear();
    // Whatever comes next is a new stream to the receiver, whose word sync starts afresh.
    chain_ = RtcmEncoder();
    lastAttempt_ = std::chrono::steady_clock::now();
}

bool SerialOutput::writePending() {
    while (!pending_.empty()) {
        const ssize_t written = ::write(port_.get(), pending_.data(), pending_.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        pending_.erase(0, static_cast<std::size_t>(written));
    }
    return true;
}

void SerialOutput::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    if (!port_.valid()) {
        const auto now = std::chrono::steady_clock::now();
        std::string problem;
        if (now - lastAttempt_ < retryInterval_) {
            ++statistics_.framesMissed;
            return;
        }
        lastAttempt_ = now;
        if (!openPort(problem)) {
            ++statistics_.framesMissed;
            return;
        }
        ++statistics_.reopenings;
    }
    if (!writePending()) {
        disconnect();
        ++statistics_.framesMissed;
        return;
    }
    if (!pending_.empty()) {
        ++statistics_.framesDropped;
        return;
    }
    RtcmEncoder next = chain_;
    std::string bytes;
    appendRtcmFrameBytes(frame, message, next, bytes);
    ssize_t written = -1;
    do written = ::write(port_.get(), bytes.data(), bytes.size());
    while (written < 0 && errno == EINTR);
    if (written < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            ++statistics_.framesDropped;
        } else {
            // EIO, ENXIO, ENODEV: the device is gone (pulled out, or the other end of a pty closed).
            disconnect();
            ++statistics_.framesMissed;
        }
        return;
    }
    // Part of the frame is out: the rest must follow before anything else, or the receiver would
    // see a frame with a hole in it.
    chain_ = next;
    pending_ = bytes.substr(static_cast<std::size_t>(written));
    ++statistics_.framesWritten;
    recentFrameBytes_.push_back(bytes.size());
    // Enough to cover whatever a port's buffer holds at the end (a few kilobytes).
    if (recentFrameBytes_.size() > 256) recentFrameBytes_.pop_front();
}

void SerialOutput::finish(std::chrono::steady_clock::time_point deadline) {
    if (!port_.valid()) {
        std::string problem;
        awayAtEnd_ = !openPort(problem);
    }
    while (port_.valid() && !pending_.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd polled{port_.get(), POLLOUT, 0};
        poll(&polled, 1, static_cast<int>(left));
        if (!writePending()) disconnect();
    }
    while (port_.valid() && std::chrono::steady_clock::now() < deadline) {
        int queued = 0;
        if (ioctl(port_.get(), TIOCOUTQ, &queued) != 0 || queued == 0) break;
        poll(nullptr, 0, 5);  // nothing to wake on for an emptied queue: look every few milliseconds
    }
    if (port_.valid()) {
        // What is still unsent is the tail of the stream: those frames did not reach the receiver,
        // whatever the count said when the port took them.
        int queued = 0;
        if (ioctl(port_.get(), TIOCOUTQ, &queued) != 0) queued = 0;
        std::size_t unsent = pending_.size() + static_cast<std::size_t>(std::max(queued, 0));
        while (unsent > 0 && !recentFrameBytes_.empty()) {
            unsent -= std::min(unsent, recentFrameBytes_.back());
            recentFrameBytes_.pop_back();
            --statistics_.framesWritten;
            ++statistics_.framesCutAtEnd;
        }
        discardUnsent(port_.get());
    }
    pending_.clear();
    port_.reset();
}

}  // namespace sondeco
