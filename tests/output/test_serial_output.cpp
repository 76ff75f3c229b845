// SPDX-License-Identifier: GPL-3.0-or-later
// The serial output of --serial through pseudo-terminal pairs: the port set raw at the speed asked,
// whole frames dropped when the port is full, and a port that goes away and comes back (a USB
// adapter pulled out and plugged in again, as its udev link).

#include "output/serial_output.h"
#include "tests/output/feed_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>

namespace sondeco {
namespace {

using namespace sondeco::testing;

// The two ends of a pseudo-terminal; the test reads the master, the output writes the slave.
struct PseudoTerminal {
    PseudoTerminal() {
        int masterEnd = -1, slaveEnd = -1;
        if (openpty(&masterEnd, &slaveEnd, nullptr, nullptr, nullptr) != 0) return;
        master.reset(masterEnd);
        slave.reset(slaveEnd);
        name = ttyname(slaveEnd);
    }
    std::string readAvailable() const {
        std::string bytes;
        char buffer[4096];
        for (pollfd polled{master.get(), POLLIN, 0}; poll(&polled, 1, 0) == 1 && (polled.revents & POLLIN);) {
            const ssize_t got = read(master.get(), buffer, sizeof buffer);
            if (got <= 0) break;
            bytes.append(buffer, static_cast<std::size_t>(got));
        }
        return bytes;
    }
    FileDescriptor master;
    FileDescriptor slave;
    std::string name;
};

// The beacon's frames through a receiver into `output`, pushed as the test says.
class BeaconThroughReceiver {
public:
    BeaconThroughReceiver(DecoderListener& output, int frames)
        : stream_(beaconRtcm(frames)), frameBytes_(stream_.size() / static_cast<std::size_t>(frames)) {
        receiver_.addListener(output);
    }
    // A frame completes, and goes to the output, once its last byte is in.
    void push(std::size_t bytes) {
        const std::size_t count = std::min(bytes, stream_.size() - fed_);
        receiver_.pushRtcmBytes(std::string_view(stream_).substr(fed_, count));
        fed_ += count;
    }
    void pushAll() { push(stream_.size()); }
    std::size_t averageFrameBytes() const { return frameBytes_; }
    const std::string& stream() const { return stream_; }
    std::uint64_t frames() const { return receiver_.decoder().statistics().frames; }

private:
    std::string stream_;
    std::size_t frameBytes_;
    std::size_t fed_ = 0;
    Receiver receiver_;
};

// The port is set as a receiver's correction input expects; mistakes in its name are reported at
// once rather than waited on. (What it carries: FeedsEndToEnd.APseudoTerminalReadsBack...)
TEST(SerialOutput, ThePortIsSetRawAtTheSpeedAskedAndAWrongOneIsRefused) {
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.master.valid());
    SerialOutput output(terminal.name, 4800);
    std::string problem;
    ASSERT_TRUE(output.open(problem)) << problem;
    termios settings{};
    ASSERT_EQ(tcgetattr(terminal.slave.get(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B4800));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u) << "no line-end translation";
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u) << "no software flow control";

    const auto plainFile = scratchPath("not-a-port");
    std::ofstream(plainFile) << "x";
    for (const std::string& device : {plainFile.string(), scratchPath("missing").string()}) {
        SerialOutput wrong(device, 9600);
        EXPECT_FALSE(wrong.open(problem)) << device;
        EXPECT_NE(problem.find(device), std::string::npos) << problem;
    }
}

// Nobody reads the port: what it takes is still a clean stream of whole frames, every frame that
// did not fit is counted, and decoding goes on through all of them.
TEST(SerialOutput, AFullPortDropsWholeFramesAndTheStreamStaysClean) {
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.master.valid());
    SerialOutput output(terminal.name, 115200);
    std::string problem;
    ASSERT_TRUE(output.open(problem)) << problem;
    BeaconThroughReceiver beacon(output, 1500);
    beacon.pushAll();
    ASSERT_EQ(beacon.frames(), 1500u);
    const SerialOutputStatistics& counts = output.statistics();
    EXPECT_GT(counts.framesDropped, 0u);
    EXPECT_EQ(counts.framesWritten + counts.framesDropped, 1500u);
    // The port takes the tail of a frame it took in part once there is room again.
    std::string received = terminal.readAvailable();
    output.finish(secondsFromNow(10));
    received += terminal.readAvailable();
    const DecoderStatistics decoded = decodeRtcm(received);
    EXPECT_EQ(decoded.frames, counts.framesWritten);
    EXPECT_EQ(decoded.parityFailures, 0u);
    EXPECT_EQ(decoded.syncLosses, 0u);
}

// The run ends while the port still holds frames nobody has read: those are not counted as written,
// so that the count is what the receiver got.
TEST(SerialOutput, FramesStillUnsentAtTheEndAreNotCountedAsWritten) {
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.master.valid());
    SerialOutput output(terminal.name, 115200);
    std::string problem;
    ASSERT_TRUE(output.open(problem)) << problem;
    BeaconThroughReceiver beacon(output, 1500);
    beacon.pushAll();
    const std::uint64_t taken = output.statistics().framesWritten;
    output.finish(std::chrono::steady_clock::now());
    const SerialOutputStatistics& counts = output.statistics();
    EXPECT_GT(counts.framesCutAtEnd, 0u);
    EXPECT_EQ(counts.framesWritten + counts.framesCutAtEnd, taken);
    EXPECT_EQ(decodeRtcm(terminal.readAvailable()).frames, counts.framesWritten);
}

// The device is a link, as udev makes them; the pseudo-terminal behind it closes and a new one takes
// its place. Frames meanwhile are missed, counted, and decoding goes on; the new port gets a stream
// that a receiver locks onto from its first frame.
TEST(SerialOutput, APortThatGoesAwayIsOpenedAgainWhenItComesBack) {
    const auto link = scratchPath("ttyUSB-link");
    std::filesystem::remove(link);
    auto terminal = std::make_unique<PseudoTerminal>();
    std::filesystem::create_symlink(terminal->name, link);
    SerialOutput output(link.string(), 9600, std::chrono::milliseconds(0));
    std::string problem;
    ASSERT_TRUE(output.open(problem)) << problem;
    BeaconThroughReceiver beacon(output, 300);
    const std::size_t tenFrames = 10 * beacon.averageFrameBytes();

    beacon.push(tenFrames);
    const std::string before = terminal->readAvailable();
    EXPECT_GE(decodeRtcm(before).frames, 8u);

    terminal.reset();  // pulled out: the slave's node goes with the master
    std::filesystem::remove(link);
    beacon.push(tenFrames);
    EXPECT_FALSE(output.connected());
    EXPECT_GE(output.statistics().framesMissed, 8u);

    terminal = std::make_unique<PseudoTerminal>();
    std::filesystem::create_symlink(terminal->name, link);
    beacon.push(tenFrames);
    EXPECT_TRUE(output.connected());
    EXPECT_EQ(output.statistics().reopenings, 1u);
    output.finish(secondsFromNow(10));
    const DecoderStatistics after = decodeRtcm(terminal->readAvailable());
    EXPECT_GE(after.frames, 8u);
    EXPECT_EQ(after.parityFailures, 0u);
    EXPECT_EQ(beacon.frames(), output.statistics().framesWritten + output.statistics().framesMissed);
    std::filesystem::remove(link);
}

}  // namespace
}  // namespace sondeco
