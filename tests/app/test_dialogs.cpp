// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/app/app_fixture.h"

#include "app/Unit2.h"
#include "app/Unit3.h"
#include "app/Unit8.h"
#include "app/Unit9.h"
#include "app/up_down_control.h"
#include "app/window_placement.h"

#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QSpontaneKeyEvent>
#include <QTest>
#include <QTimer>

#include <fstream>

namespace sondeco::testing {
namespace {

using SettingsDialog = AppFixture;

TEST_F(SettingsDialog, ControlsAndCaptions) {
    start();
    TForm2* form2 = form1->Form2;
    // Taller than the controls above need by the receiver choice alone, which sits below them all.
    EXPECT_EQ(form2->size(), QSize(283, 256));
    EXPECT_EQ(form2->GroupBox3->title(), "Receiver");
    EXPECT_GE(form2->GroupBox3->y(), form2->Label7->geometry().bottom());
    EXPECT_EQ(form2->GroupBox1->title(), "Wave input device settings");
    EXPECT_EQ(form2->GroupBox1->geometry(), QRect(8, 8, 265, 73));
    EXPECT_EQ(form2->Label1->text(), "Current input device :");
    EXPECT_EQ(form2->Button1->text(), "Select device");
    EXPECT_EQ(form2->Button1->geometry(), QRect(163, 19, 84, 25));
    EXPECT_EQ(form2->GroupBox2->title(), "DGPS decoder settings");
    EXPECT_EQ(form2->GroupBox2->geometry(), QRect(8, 87, 265, 90));
    EXPECT_EQ(form2->Label5->text(), "Center frequency");
    EXPECT_EQ(form2->Label3->text(), "Bit rate");
    EXPECT_EQ(form2->RadioButton1->text(), "100 bps");
    EXPECT_EQ(form2->RadioButton2->text(), "200 bps");
    EXPECT_EQ(form2->UpDown1->geometry(), QRect(234, 24, 20, 20));
    EXPECT_EQ(form2->Label4->text(), "Sondeco");
    EXPECT_EQ(form2->Label7->text(), "Ver. 1.0.0 build 000");
    EXPECT_TRUE(form2->Label2->font().underline());
    EXPECT_TRUE(form2->Label6->font().underline());
    // The captions fit their controls: nothing is clipped.
    for (QWidget* control : std::initializer_list<QWidget*>{form2->Label1, form2->Label5, form2->Label3, form2->Label7, form2->RadioButton1,
                                                            form2->RadioButton2, form2->Button1})
        EXPECT_GE(control->width(), control->sizeHint().width()) << control->metaObject()->className();
}

TEST_F(SettingsDialog, ShowsTheLiveSettingsAndTheArrowsStopAtTheLimits) {
    start();
    TForm2* form2 = form1->Form2;
    form1->WaveInName = "USB Audio Device";
    form2->show();
    EXPECT_EQ(form2->Label2->text(), "USB Audio Device");
    EXPECT_EQ(form2->Label6->text(), "800 Hz");
    EXPECT_TRUE(form2->RadioButton2->isChecked());
    EXPECT_FALSE(form2->RadioButton1->isChecked());

    for (int click = 0; click < 30; ++click) form2->UpDown1->clickDown();
    EXPECT_EQ(form2->UpDown1->position(), 50);
    EXPECT_EQ(form2->Label6->text(), "500 Hz");
    EXPECT_EQ(form1->DecFreqPos, 50);
    EXPECT_DOUBLE_EQ(form1->CenterFrequency(), 500.0);  // retuned at once

    for (int click = 0; click < 60; ++click) form2->UpDown1->clickUp();
    EXPECT_EQ(form2->UpDown1->position(), 100);
    EXPECT_EQ(form2->Label6->text(), "1000 Hz");
    EXPECT_DOUBLE_EQ(form1->CenterFrequency(), 1000.0);
}

TEST_F(SettingsDialog, RadioButtonsRetuneTheBitRateAtOnce) {
    start();
    TForm2* form2 = form1->Form2;
    form2->show();
    const DemodulatorTuning at200 = form1->demodulator().tuning();
    form2->RadioButton1->click();
    EXPECT_FALSE(form1->DecBitRate);
    EXPECT_EQ(form1->demodulator().tuning().ClockDelay, 24);
    EXPECT_EQ(form1->demodulator().tuning().EyeSampleSpacing, 2);
    form2->RadioButton1->click();  // clicking the checked one again changes nothing
    EXPECT_FALSE(form1->DecBitRate);
    form2->RadioButton2->click();
    EXPECT_TRUE(form1->DecBitRate);
    EXPECT_TRUE(form1->demodulator().tuning() == at200);
}

TEST_F(SettingsDialog, CentredOnTheMainWindowAndKeptOnTheDesktop) {
    start();
    TForm2* form2 = form1->Form2;
    form1->show();
    form1->move(100, 50);
    form1->resize(660, 400);
    form2->show();
    const QRect main = form1->frameGeometry();
    const QSize own = form2->frameGeometry().size();
    EXPECT_EQ(form2->pos(), QPoint(main.left() + main.width() / 2 - own.width() / 2, main.top() + main.height() / 2 - own.height() / 2));
    form2->hide();

    // Mostly off the bottom right of the desktop: pulled back inside.
    const QRect desktop = virtualDesktop();
    form1->move(desktop.right() - 100, desktop.bottom() - 50);
    form2->show();
    EXPECT_EQ(form2->frameGeometry().right(), desktop.right());
    EXPECT_EQ(form2->frameGeometry().bottom(), desktop.bottom());
    form2->hide();

    // The rule itself, top and left included.
    EXPECT_EQ(keptOnDesktop({-40, -10}, {100, 50}, {0, 0, 800, 600}), QPoint(0, 0));
    EXPECT_EQ(keptOnDesktop({750, 580}, {100, 50}, {0, 0, 800, 600}), QPoint(700, 550));
    EXPECT_EQ(centredOn({10, 20, 661, 401}, {283, 202}), QPoint(10 + 330 - 141, 20 + 200 - 101));
}

TEST_F(SettingsDialog, OnlyOpeningCentresTheWindowsNotRestoringThemFromMinimised) {
    start();
    form1->show();
    for (QWidget* window : {static_cast<QWidget*>(form1->Form2), static_cast<QWidget*>(form1->Form3)}) {
        window->show();
        const QPoint centred = window->pos();
        window->move(centred + QPoint(37, -23));  // by the user
        // The show event a window system sends when it restores a minimised window, delivered as QTest
        // delivers spontaneous events (sendEvent would take the mark off). Qt's offscreen platform
        // puts a restored window back by itself, so a real minimise and restore would prove nothing.
        QShowEvent restored;
        QSpontaneKeyEvent::setSpontaneous(&restored);
        QCoreApplication::instance()->notify(window, &restored);
        EXPECT_EQ(window->pos(), centred + QPoint(37, -23)) << window->windowTitle().toStdString();
        window->hide();
        window->show();
        EXPECT_EQ(window->pos(), centred) << window->windowTitle().toStdString();
        window->hide();
    }
}

TEST_F(SettingsDialog, TheToolBarButtonsBringAnOpenWindowForward) {
    start();
    form1->show();
    const auto activeIs = [](QWidget* window) { return [window] { return QApplication::activeWindow() == window; }; };
    for (auto [button, window] : {std::pair<QPushButton*, QWidget*>{form1->SpeedButton4, form1->Form2},
                                  std::pair<QPushButton*, QWidget*>{form1->SpeedButton1, form1->Form3}}) {
        button->click();
        const QPoint movedByTheUser = window->pos() + QPoint(15, 9);
        window->move(movedByTheUser);
        for (bool minimised : {false, true}) {
            if (minimised) window->setWindowState(Qt::WindowMinimized);
            form1->activateWindow();
            ASSERT_TRUE(waitFor(activeIs(form1.get())));
            button->click();
            EXPECT_TRUE(waitFor(activeIs(window), 2000)) << button->text().toStdString() << minimised;
            EXPECT_FALSE(window->isMinimized());
        }
        EXPECT_EQ(window->pos(), movedByTheUser);
        window->hide();
    }
}

TEST_F(SettingsDialog, HasNoDefaultButtonSoEnterOpensNothing) {
    start();
    form1->Form2->show();
    // Should Enter press "Select device", this takes the modal device dialog down again, and tells.
    bool deviceDialogOpened = false;
    QTimer::singleShot(0, form1->Form2, [&] {
        deviceDialogOpened = QApplication::activeModalWidget() == form1->Form8;
        if (deviceDialogOpened) form1->Form8->reject();
    });
    QTest::keyClick(form1->Form2->RadioButton1, Qt::Key_Return);
    processEvents();
    EXPECT_FALSE(deviceDialogOpened);
    EXPECT_FALSE(form1->Form2->Button1->isDefault());
}

using DeviceDialog = AppFixture;

TEST_F(DeviceDialog, ListsTheDefaultThenEveryInputDevice) {
    audio.deviceNames = {"HDA Intel PCH: ALC256 Analog (hw:0,0)", "USB Audio Device: - (hw:1,0)"};
    start();
    TForm8* form8 = form1->Form8;
    EXPECT_EQ(form8->size(), QSize(331, 102));
    // Its caption is Japanese: a font that has those glyphs must be there, or it shows as boxes.
    EXPECT_FALSE(QFontDatabase::families(QFontDatabase::Japanese).isEmpty()) << "no font with Japanese glyphs is installed";
    EXPECT_EQ(form8->GroupBox1->title(), "Wave input device");
    EXPECT_EQ(form8->Button3->text(), "Sound settings of Windows");
    EXPECT_EQ(form8->Button1->text(), "OK");
    EXPECT_EQ(form8->Button2->text(), "Cansel");
    EXPECT_TRUE(form8->Button1->isDefault());
    ASSERT_EQ(form8->ComboBox1->count(), 3);
    EXPECT_EQ(form8->ComboBox1->itemText(0), "Default input device");
    EXPECT_EQ(form8->ComboBox1->itemText(2), "USB Audio Device: - (hw:1,0)");
    EXPECT_FALSE(form8->ComboBox1->isEditable());
    EXPECT_EQ(form8->findDeviceIndex(""), 0);
    EXPECT_EQ(form8->findDeviceIndex("Default input device"), 0);
    EXPECT_EQ(form8->findDeviceIndex("usb audio device: - (hw:1,0)"), -1);  // exact, case and all
}

TEST_F(DeviceDialog, OkWithoutAChangeDoesNotRestartCapture) {
    audio.deviceNames = {"Line In"};
    start();
    form1->Form8->show();
    form1->Form8->Button1->click();
    EXPECT_EQ(audio.openedDevices, std::vector<int>{-1});
    EXPECT_FALSE(form1->Form9->isVisible());
    EXPECT_FALSE(form1->Form8->isVisible());
}

TEST_F(DeviceDialog, ChoosingAnotherDeviceRestartsCaptureOnIt) {
    audio.deviceNames = {"Line In", "USB Audio"};
    start();
    form1->Form2->show();
    form1->Form8->show();
    form1->Form8->ComboBox1->setCurrentIndex(2);
    form1->Form8->Button1->click();
    EXPECT_EQ(audio.openedDevices, (std::vector<int>{-1, 1}));
    EXPECT_EQ(form1->WaveInIndex, 2);
    EXPECT_EQ(form1->WaveInName, "USB Audio");
    EXPECT_EQ(form1->Form2->Label2->text(), "USB Audio");
    EXPECT_TRUE(form1->captureOpen());
    EXPECT_EQ(form1->captureRing().captureIndex(), 0);
    EXPECT_FALSE(form1->Form9->isVisible());
    EXPECT_TRUE(messages.empty());

    form1->Form8->show();
    form1->Form8->ComboBox1->setCurrentIndex(0);
    form1->Form8->Button1->click();
    EXPECT_EQ(form1->WaveInName, "Default input device");  // exactly, not the list text by chance
    EXPECT_EQ(audio.openedDevices.back(), -1);
}

TEST_F(DeviceDialog, ChoosingAStalledDeviceAgainRestartsIt) {
    audio.deviceNames = {"USB Audio"};
    std::ofstream(directory / "sondeco.ini") << "[Wave]\r\nWaveInName=USB Audio\r\n";
    start();
    audio.captureStalled = true;  // unplugged under the running stream
    form1->Form8->show();
    form1->Form8->Button1->click();  // the same device, chosen again
    EXPECT_EQ(audio.openedDevices, (std::vector<int>{0, 0}));
    EXPECT_TRUE(form1->captureOpen());
}

TEST_F(DeviceDialog, TwoDevicesOfTheSameNameOpenTheFirst) {
    audio.deviceNames = {"USB Audio", "USB Audio"};
    start();
    form1->Form8->show();
    form1->Form8->ComboBox1->setCurrentIndex(2);
    form1->Form8->Button1->click();
    EXPECT_EQ(form1->WaveInIndex, 1);  // looked up again by name: the first match wins
    EXPECT_EQ(audio.openedDevices.back(), 0);
}

TEST_F(DeviceDialog, AnUnknownSavedDeviceFallsBackToTheDefaultWithAnInformationBox) {
    audio.deviceNames = {"Line In"};
    std::ofstream(directory / "sondeco.ini") << "[Wave]\r\nWaveInName=Vanished USB Card\r\n";
    start();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, MessageKind::Information);
    EXPECT_EQ(messages[0].text, "Open default input device.");
    EXPECT_EQ(form1->WaveInIndex, 0);
    EXPECT_EQ(form1->WaveInName, "Default input device");
    EXPECT_EQ(audio.openedDevices, std::vector<int>{-1});
}

TEST_F(DeviceDialog, AnEmptySavedNameMeansTheDefaultWithoutAMessage) {
    audio.deviceNames = {"Line In"};
    std::ofstream(directory / "sondeco.ini") << "[Wave]\r\nWaveInName=\r\n";
    start();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(form1->WaveInIndex, 0);
    EXPECT_EQ(audio.openedDevices, std::vector<int>{-1});
}

TEST_F(DeviceDialog, ASavedDeviceIsOpenedByItsName) {
    audio.deviceNames = {"Line In", "USB Audio"};
    std::ofstream(directory / "sondeco.ini") << "[Wave]\r\nWaveInName=USB Audio\r\n";
    start();
    EXPECT_EQ(form1->WaveInIndex, 2);
    EXPECT_EQ(audio.openedDevices, std::vector<int>{1});
    EXPECT_EQ(form1->Form8->ComboBox1->currentIndex(), 2);
}

TEST_F(DeviceDialog, SoundSettingsStartsTheProgramFoundOrSaysThatNoneWas) {
    // PATH holds only the programs the test puts there.
    const auto bin = directory / "bin";
    std::filesystem::create_directories(bin);
    const struct RestorePath {
        QByteArray saved = qgetenv("PATH");
        ~RestorePath() { qputenv("PATH", saved); }
    } restorePath;
    qputenv("PATH", QByteArray::fromStdString(bin.string()));
    const auto install = [&](const char* program) {
        std::ofstream(bin / program) << "#!/bin/sh\n";
        std::filesystem::permissions(bin / program, std::filesystem::perms::owner_all);
    };
    std::vector<std::pair<QString, QStringList>> started;
    AppEnvironment env = environment();
    env.startProgram = [&started](const QString& program, const QStringList& arguments) { started.emplace_back(program, arguments); };

    // None installed: the button says so, naming what it looks for.
    start(env);
    form1->Form8->Button3->click();
    EXPECT_TRUE(started.empty());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, MessageKind::Information);
    EXPECT_EQ(messages[0].text,
              "No sound settings program was found. Sondeco looks for pavucontrol, pavucontrol-qt, "
              "gnome-control-center and systemsettings.");

    // A desktop's sound settings, installed since the dialog was built: looked for again, the first wins.
    install("systemsettings");
    install("gnome-control-center");
    form1->Form8->Button3->click();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].first, QString::fromStdString((bin / "gnome-control-center").string()));
    EXPECT_EQ(started[0].second, QStringList{"sound"});

    // The volume control, there when the dialog is built, comes first, on its input tab.
    install("pavucontrol");
    form1.reset();
    start(env);
    EXPECT_TRUE(form1->Form8->VolumeControlFound);
    form1->Form8->Button3->click();
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[1].first, QString::fromStdString((bin / "pavucontrol").string()));
    EXPECT_EQ(started[1].second, QStringList{"--tab=4"});
    EXPECT_EQ(messages.size(), 1u);
}

}  // namespace
}  // namespace sondeco::testing
