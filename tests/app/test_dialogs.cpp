#include "tests/app/app_fixture.h"

#include "app/Unit2.h"
#include "app/Unit8.h"
#include "app/Unit9.h"
#include "app/up_down_control.h"
#include "app/window_placement.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include <fstream>

namespace sondeco::testing {
namespace {

using SettingsDialog = AppFixture;

TEST_F(SettingsDialog, ControlsAndCaptions) {
    start();
    TForm2* form2 = form1->Form2;
    EXPECT_EQ(form2->size(), QSize(283, 202));
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
    for (QWidget* control : std::initializer_list<QWidget*>{form2->Label1, form2->Label5, form2->Label3, form2->Label7,
                                                            form2->RadioButton1, form2->RadioButton2, form2->Button1})
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

using DeviceDialog = AppFixture;

TEST_F(DeviceDialog, ListsTheDefaultThenEveryInputDevice) {
    audio.deviceNames = {"HDA Intel PCH: ALC256 Analog (hw:0,0)", "USB Audio Device: - (hw:1,0)"};
    start();
    TForm8* form8 = form1->Form8;
    EXPECT_EQ(form8->size(), QSize(331, 102));
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

}  // namespace
}  // namespace sondeco::testing
