// SPDX-License-Identifier: GPL-3.0-or-later
// A program that throws while it starts, built on the entry point the real program uses. It says on its
// standard output what box the exception brought up, then closes that box as a user would; the
// entry-point test checks what it said and how it ended.
#include "app/entry_point.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <stdexcept>

int main(int argc, char** argv) {
    return sondeco::runGuarded(argc, argv, []() -> int {
        // Runs inside the box's own event loop, once the box is up.
        QTimer::singleShot(0, QCoreApplication::instance(), [] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                std::printf("no box\n");
                return;
            }
            std::printf("%s: %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
            std::fflush(stdout);
            box->accept();
        });
        throw std::runtime_error("out of memory for the eye pattern");
    });
}
