// SPDX-License-Identifier: GPL-3.0-or-later
// Builds the five windows over scripted audio, with message boxes recorded instead of shown.
#pragma once

#include "app/windows.h"
#include "measure/fixed_clock.h"
#include "tests/app/scripted_audio.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <utility>
#include <vector>

namespace sondeco::testing {

struct RecordedMessage {
    MessageKind kind;
    QString text;
};

class AppFixture : public ::testing::Test {
protected:
    ScriptedAudio audio;
    std::vector<RecordedMessage> messages;
    std::filesystem::path directory =
        std::filesystem::path(::testing::TempDir()) / ("sondeco-app-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::unique_ptr<TForm1> form1;

    AppEnvironment environment() {
        AppEnvironment env;
        env.audio = &audio;
        env.messageBox = [this](MessageKind kind, const QString& text) { messages.push_back({kind, text}); };
        env.settingsFileName = (directory / "sondeco.ini").string();
        env.restartPause = std::chrono::milliseconds(0);
        env.clock = fixedClock;
        return env;
    }

    void start() { start(environment()); }
    void start(AppEnvironment env) { form1 = createWindows(std::move(env)); }

    void SetUp() override { std::filesystem::create_directories(directory); }
    void TearDown() override {
        form1.reset();
        std::filesystem::remove_all(directory);
    }

    // Runs the event loop until `done` holds or `milliseconds` pass.
    static bool waitFor(const std::function<bool()>& done, int milliseconds = 5000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > milliseconds) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    static void processEvents() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }

private:
    static inline int counter_ = 0;
};

}  // namespace sondeco::testing
