// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/termination_signals.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace sondeco {
namespace {

// The handler writes into [0]; the main thread watches [1].
int signalSocket[2] = {-1, -1};
// Set by the handler, which may run on any thread (the audio thread included): lock-free, so safe there.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

QPointer<QSocketNotifier> notifier;
QPointer<QWidget> windowToClose;

// Only async-signal-safe work here: note the request and wake the main thread. The socket does not
// block, so a burst of signals that fills it cannot hang the handler; one byte waiting is wake-up enough.
void onTerminationSignal(int) {
    const int savedErrno = errno;
    requested.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalSocket[0], &byte, 1);
    errno = savedErrno;
}

void onSignalNoticed() {
    char bytes[64];
    while (::read(signalSocket[1], bytes, sizeof bytes) > 0) {}
    dismissModalWindows();
    if (windowToClose) windowToClose->close();
}

}  // namespace

void catchTerminationSignals() {
    if (signalSocket[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalSocket) != 0) {
        // Without a way to wake the main thread a caught signal would be ignored; dying of it is better.
        signalSocket[0] = signalSocket[1] = -1;
        return;
    }
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

void closeOnTerminationSignals(QWidget* mainWindow) {
    catchTerminationSignals();
    windowToClose = mainWindow;
    if (signalSocket[1] < 0 || notifier) return;
    notifier = new QSocketNotifier(signalSocket[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier.data(), &QSocketNotifier::activated, notifier.data(), onSignalNoticed);
}

bool terminationRequested() { return requested.load(); }

void dismissModalWindows() {
    // Each dismissed window's own event loop ends once control gets back to it. A window that refuses
    // to close is hidden, which ends its loop all the same; the count only guards against one that
    // keeps coming back.
    for (int dismissed = 0; dismissed < 32; ++dismissed) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) return;
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        } else {
            modal->close();
        }
        if (QApplication::activeModalWidget() == modal) modal->hide();
    }
}

}  // namespace sondeco
