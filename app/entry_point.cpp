// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/entry_point.h"

#include "app/termination_signals.h"

#include "app/app_icon.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <exception>
#include <optional>

namespace sondeco {
namespace {

void showFatalError(bool haveApplication, const QString& text) {
    if (!haveApplication || terminationRequested()) {
        std::fprintf(stderr, "Sondeco: %s\n", text.toLocal8Bit().constData());
        return;
    }
    QMessageBox::critical(nullptr, QStringLiteral("Sondeco"), text);
}

}  // namespace

int runGuarded(int& argc, char** argv, const std::function<int()>& program) {
    // Outside the guarded block: the box in the handler is a widget and needs it. Everything the
    // program built (its windows, its devices) is gone by the time the handler runs.
    std::optional<QApplication> application;
    try {
        application.emplace(argc, argv);
        QApplication::setWindowIcon(sondecoIcon());
        // A signal while the box below is up dismisses it, as it would any other box.
        closeOnTerminationSignals(nullptr);
        return program();
    } catch (const std::exception& error) {
        // Nothing of ours throws; this is for the libraries' own failures (out of memory).
        showFatalError(application.has_value(), QString::fromLocal8Bit(error.what()));
    } catch (...) {
        showFatalError(application.has_value(), QStringLiteral("The program met an error it does not know and has to end."));
    }
    return 0;
}

}  // namespace sondeco
