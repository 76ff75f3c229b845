// SPDX-License-Identifier: GPL-3.0-or-later
// The widget tests build the real windows, so they need a QApplication; the offscreen platform lets
// them run without a display.
#include "app/fonts.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sondeco"));
    sondeco::registerTahoma();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
