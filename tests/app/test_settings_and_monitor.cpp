// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/app/app_fixture.h"

#include "app/Unit2.h"
#include "app/Unit3.h"
#include "app/ini_file.h"
#include "app/page_tabs.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <fstream>

namespace sondeco::testing {
namespace {

using SettingsOfTheMainWindow = AppFixture;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST_F(SettingsOfTheMainWindow, SavedSettingsAreAppliedAtStartUp) {
    std::ofstream(directory / "sondeco.ini") << "[Form]\r\nMainTop=40\r\nMainLeft=30\r\nMainWidth=700\r\nMainHeight=420\r\n"
                                                "TabIndex=2\r\n[Wave]\r\nDecBitRate=0\r\nDecFreqPos=65\r\n";
    start();
    EXPECT_EQ(form1->pos(), QPoint(30, 40));
    EXPECT_EQ(form1->size(), QSize(700, 420));
    EXPECT_EQ(form1->TabControl1Tabs->currentIndex(), 2);
    EXPECT_DOUBLE_EQ(form1->CenterFrequency(), 650.0);
    EXPECT_EQ(form1->demodulator().tuning().ClockDelay, 24);  // 100 bit/s
}

TEST_F(SettingsOfTheMainWindow, ClosingWritesEveryKeyAndKeepsForeignLines) {
    std::ofstream(directory / "sondeco.ini") << "; written by hand\r\n[Other]\r\nKeep=me\r\n[Wave]\r\nDecFreqPos=70\r\n";
    start();
    form1->show();
    form1->move(12, 34);
    form1->resize(800, 500);
    form1->TabControl1Tabs->setCurrentIndex(6);
    form1->DecBitRate = false;
    form1->close();
    const std::string text = readFile(directory / "sondeco.ini");
    EXPECT_EQ(text.rfind("; written by hand\r\n[Other]\r\nKeep=me\r\n", 0), 0u) << text;
    IniFile ini;
    ini.parse(text);
    EXPECT_EQ(ini.readInteger("Form", "MainTop", -1), 34);
    EXPECT_EQ(ini.readInteger("Form", "MainLeft", -1), 12);
    EXPECT_EQ(ini.readInteger("Form", "MainWidth", -1), 800);
    EXPECT_EQ(ini.readInteger("Form", "MainHeight", -1), 500);
    EXPECT_EQ(ini.readInteger("Form", "MainMaxmum", -1), 0);
    EXPECT_EQ(ini.readInteger("Form", "TabIndex", -1), 6);
    EXPECT_EQ(ini.readString("Wave", "WaveInName", "?"), "Default input device");
    EXPECT_EQ(ini.readInteger("Wave", "DecBitRate", -1), 0);
    EXPECT_EQ(ini.readInteger("Wave", "DecFreqPos", -1), 70);
    EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsOfTheMainWindow, AnUnwritableFileGivesOneErrorAndTheWindowStillCloses) {
    // A settings path below a regular file cannot be written, even by root.
    std::ofstream(directory / "file") << "x";
    AppEnvironment env = environment();
    env.settingsFileName = (directory / "file" / "sondeco.ini").string();
    start(std::move(env));
    form1->show();
    form1->close();
    EXPECT_FALSE(form1->isVisible());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, MessageKind::Error);
    EXPECT_TRUE(messages[0].text.contains(QString::fromStdString((directory / "file" / "sondeco.ini").string())))
        << messages[0].text.toStdString();
}

// A placement from another machine or written by hand (far off every screen, larger than any) opens
// the window inside the screen, no larger than it, and that is what is saved.
TEST_F(SettingsOfTheMainWindow, APlacementOffEveryScreenComesBackInside) {
    std::ofstream(directory / "sondeco.ini") << "[Form]\r\nMainTop=-5000000\r\nMainLeft=2147483647\r\nMainWidth=30000\r\n"
                                                "MainHeight=30000\r\n";
    start();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(screen.contains(QRect(form1->pos(), form1->size())))
        << form1->x() << "," << form1->y() << " " << form1->width() << "x" << form1->height();
    EXPECT_GE(form1->width(), 660);
    form1->show();
    form1->close();
    IniFile ini;
    ini.parse(readFile(directory / "sondeco.ini"));
    EXPECT_LE(ini.readInteger("Form", "MainLeft", -1) + ini.readInteger("Form", "MainWidth", -1), screen.right() + 1);
    EXPECT_LE(ini.readInteger("Form", "MainHeight", -1), screen.height());
}

// A settings file its owner made read-only is read and left as it is: closing with nothing changed
// says nothing, closing after a change says once that it could not be saved.
TEST_F(SettingsOfTheMainWindow, AReadOnlyFileIsReadAndNeverReplaced) {
    const auto path = directory / "sondeco.ini";
    std::ofstream(path) << "[Form]\r\nMainTop=40\r\nMainLeft=30\r\nMainWidth=700\r\nMainHeight=420\r\nMainMaxmum=0\r\nTabIndex=0\r\n"
                           "[Wave]\r\nWaveInName=Default input device\r\nDecBitRate=1\r\nDecFreqPos=70\r\n";
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read | std::filesystem::perms::others_read);
    const std::string text = readFile(path);
    for (const bool change : {false, true}) {
        SCOPED_TRACE(change ? "a change" : "no change");
        messages.clear();
        start();
        EXPECT_DOUBLE_EQ(form1->CenterFrequency(), 700.0) << "read";
        form1->show();
        if (change) form1->DecFreqPos = 75;
        form1->close();
        EXPECT_EQ(readFile(path), text);
        ASSERT_EQ(messages.size(), change ? 1u : 0u);
        if (change) {
            EXPECT_TRUE(messages[0].text.contains(QStringLiteral("read-only"))) << messages[0].text.toStdString();
        }
        form1.reset();
    }
}

using MonitorOutput = AppFixture;

std::vector<std::int16_t> stereo(std::int16_t left, std::int16_t right) {
    std::vector<std::int16_t> buffer(SamplesPerBuffer);
    for (std::size_t n = 0; n < FramesPerBuffer; ++n) {
        buffer[2 * n] = static_cast<std::int16_t>(left + static_cast<std::int16_t>(n % 7));
        buffer[2 * n + 1] = right;
    }
    return buffer;
}

TEST_F(MonitorOutput, PressingQueuesSilenceThenEveryBufferOnBothChannels) {
    start();
    EXPECT_EQ(audio.playbackOpens, 1);
    audio.deliver(stereo(100, -5));
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() == 1; }));
    EXPECT_TRUE(audio.played.empty());  // monitor off: nothing written

    form1->SpeedButton3->click();
    ASSERT_EQ(audio.played.size(), static_cast<std::size_t>(SamplesPerBuffer));
    EXPECT_TRUE(std::all_of(audio.played.begin(), audio.played.end(), [](std::int16_t s) { return s == 0; }));

    audio.deliver(stereo(300, -7));
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() == 2; }));
    ASSERT_EQ(audio.played.size(), 2u * SamplesPerBuffer);
    for (std::size_t n = 0; n < FramesPerBuffer; ++n) {
        const std::int16_t left = static_cast<std::int16_t>(300 + n % 7);
        ASSERT_EQ(audio.played[SamplesPerBuffer + 2 * n], left);
        ASSERT_EQ(audio.played[SamplesPerBuffer + 2 * n + 1], left);  // the left input on both outputs
    }

    form1->SpeedButton3->click();  // released: no more writes
    audio.deliver(stereo(500, 0));
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() == 3; }));
    EXPECT_EQ(audio.played.size(), 2u * SamplesPerBuffer);
}

TEST_F(MonitorOutput, WithoutAPlayDeviceTheButtonOnlyChangesItsState) {
    audio.playbackFails = true;
    start();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Can not open the play device");
    EXPECT_TRUE(form1->captureOpen());  // capture is not affected
    form1->SpeedButton3->click();
    EXPECT_TRUE(form1->SpeedButton3->isChecked());
    audio.deliver(stereo(1, 1));
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() == 1; }));
    EXPECT_TRUE(audio.played.empty());
    EXPECT_EQ(messages.size(), 1u);
}

}  // namespace
}  // namespace sondeco::testing
