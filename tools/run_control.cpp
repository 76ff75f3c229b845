// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/run_control.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

namespace sondeco {
namespace {

std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
// Opened before any signal can come: open() in the handler could fail for want of descriptors.
int nullInput = -1;

// Async-signal-safe only: an atomic store, dup2, signal and raise.
void onStopSignal(int signal) {
    const int savedErrno = errno;
    if (requested.exchange(true)) {
        // Asked twice: the user does not want to wait for the end of the block.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    } else if (nullInput >= 0) {
        // A read restarted after this handler reads /dev/null, which is at its end.
        ::dup2(nullInput, STDIN_FILENO);
    }
    errno = savedErrno;
}

}  // namespace

void stopOnSignals(bool standardInputIsTheInput) {
    if (standardInputIsTheInput && nullInput < 0) nullInput = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool stopRequested() { return requested.load(); }

RealTimePacer::RealTimePacer(double unitsPerSecond) : unitsPerSecond_(unitsPerSecond), start_(std::chrono::steady_clock::now()) {}

void RealTimePacer::advance(std::uint64_t units) {
    taken_ += units;
    const auto due = start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(taken_) / unitsPerSecond_));
    // In short naps: a signal that lands between the check and the nap must not cost a long one.
    constexpr auto Nap = std::chrono::milliseconds(50);
    while (!stopRequested()) {
        const auto left = due - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, Nap));
    }
}

}  // namespace sondeco
