// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/app/app_fixture.h"

#include "app/Unit2.h"
#include "app/Unit3.h"
#include "app/Unit8.h"
#include "app/Unit9.h"
#include "app/app_icon.h"
#include "app/termination_signals.h"
#include "audio/sound_file_source.h"
#include "audio/sound_file_writer.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include "app/page_tabs.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fstream>
#include <numbers>

namespace sondeco::testing {
namespace {

std::vector<std::int16_t> stereoBuffer(std::int16_t left, std::int16_t right) {
    std::vector<std::int16_t> buffer(2 * FramesPerBuffer);
    for (std::size_t n = 0; n < FramesPerBuffer; ++n) {
        buffer[2 * n] = left;
        buffer[2 * n + 1] = right;
    }
    return buffer;
}

using MainWindow = AppFixture;

TEST_F(MainWindow, ToolBarTabsAndStatusBarAreLaidOutAsDesigned) {
    start();
    EXPECT_EQ(form1->windowTitle(), "Sondeco");
    EXPECT_EQ(form1->minimumSize(), QSize(660, 200));
    EXPECT_EQ(form1->Panel3->height(), 32);

    struct Expected {
        QPushButton* button;
        const char* caption;
        int left;
    };
    for (const Expected& e : {Expected{form1->SpeedButton4, "Settings", 4}, Expected{form1->Button1, "Msg Clear", 80},
                              Expected{form1->SpeedButton1, "Eye Pattern", 156}, Expected{form1->SpeedButton3, "Monitor", 232}}) {
        EXPECT_EQ(e.button->text(), e.caption);
        EXPECT_EQ(e.button->geometry(), QRect(e.left, 2, 70, 28)) << e.caption;
    }
    EXPECT_TRUE(form1->SpeedButton3->isCheckable());
    EXPECT_FALSE(form1->SpeedButton3->isChecked());
    EXPECT_EQ(form1->Panel2->size(), QSize(87, 26));
    EXPECT_EQ(form1->Image1->geometry(), QRect(1, 1, 85, 24));
    EXPECT_EQ(form1->Panel1->size(), QSize(6, 26));
    EXPECT_FALSE(form1->lampIsGreen());

    // The captions lose their design-time marks at start-up; "Msg #9" is the default page.
    const QStringList captions{"Msg #1",  "Msg #3",  "Msg #5",  "Msg #7",  "Msg #9", "Msg #16",
                               "Msg #31", "Msg #32", "Msg #33", "Msg #34", "Msg #35"};
    ASSERT_EQ(form1->TabControl1Tabs->count(), 11);
    for (int k = 0; k < 11; ++k) EXPECT_EQ(form1->TabControl1Tabs->tabText(k), captions[k]);
    EXPECT_EQ(form1->TabControl1Tabs->currentIndex(), 4);
    EXPECT_EQ(form1->Memo1->toPlainText(), "Msg #9 : GPS Partial Correction Set\n");
    EXPECT_TRUE(form1->Memo1->isReadOnly());

    const int widths[6] = {90, 100, 120, 95, 105, 50};
    const char* texts[6] = {"Ref ID : ", "Msg Type : ", "Z-Count : ", "Seq Num : ", "Frame Len : ", ""};
    for (int panel = 0; panel < 6; ++panel) {
        EXPECT_EQ(form1->StatusBar1Panels[static_cast<std::size_t>(panel)]->width(), widths[panel]);
        EXPECT_EQ(form1->StatusBar1Panels[static_cast<std::size_t>(panel)]->text(), texts[panel]);
    }

    // With no settings file: at 0,0, 660 x 400, not maximised.
    EXPECT_EQ(form1->pos(), QPoint(0, 0));
    EXPECT_EQ(form1->size(), QSize(660, 400));
    EXPECT_FALSE(form1->isMaximized());
}

TEST_F(MainWindow, SecondaryWindowsExistOnceWithTheirCaptions) {
    start();
    ASSERT_NE(form1->Form2, nullptr);
    ASSERT_NE(form1->Form8, nullptr);
    ASSERT_NE(form1->Form9, nullptr);
    ASSERT_NE(form1->Form3, nullptr);
    EXPECT_EQ(form1->Form2->windowTitle(), "Settings");
    EXPECT_EQ(form1->Form8->windowTitle(), QString::fromUtf8("入力デバイスの設定"));
    EXPECT_EQ(form1->Form9->Panel1->text(), "Restart input device...");
    EXPECT_EQ(form1->Form3->windowTitle(), "Eye pattern");
    EXPECT_TRUE(form1->Form3->windowFlags() & Qt::WindowStaysOnTopHint);
    for (QWidget* window : {static_cast<QWidget*>(form1->Form2), static_cast<QWidget*>(form1->Form8), static_cast<QWidget*>(form1->Form9),
                            static_cast<QWidget*>(form1->Form3)})
        EXPECT_FALSE(window->isVisible());
}

// Our icon, drawn from the SVG built into the program at every size a window manager asks for: the
// lamp's green in the middle, the sky's blue in a corner, not Qt's blank.
TEST(AppIcon, IsOursAtEverySize) {
    const QIcon icon = sondecoIcon();
    ASSERT_FALSE(icon.isNull());
    for (const int size : {16, 32, 48, 256}) {
        const QImage image = icon.pixmap(size, size).toImage();
        ASSERT_EQ(image.size(), QSize(size, size));
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << size;  // outside the rounded corner
        EXPECT_GT(qBlue(image.pixel(size / 8, size / 2)), qRed(image.pixel(size / 8, size / 2))) << size;
    }
}

TEST_F(MainWindow, LampAndIndicatorKeepTheirDistanceFromTheRightEdge) {
    start();
    form1->show();
    for (int width : {900, 660, 1234}) {
        form1->resize(width, 400);
        processEvents();
        EXPECT_EQ(form1->Panel1->x(), form1->Panel3->width() - 11) << width;
        EXPECT_EQ(form1->Panel2->x(), form1->Panel3->width() - 102) << width;
    }
}

TEST_F(MainWindow, StartUpOpensTheDefaultCaptureDeviceAndConvertsEveryBuffer) {
    start();
    ASSERT_EQ(audio.openedDevices, std::vector<int>{-1});
    EXPECT_TRUE(messages.empty());

    auto buffer = stereoBuffer(5, 6);
    buffer[0] = 1000;
    buffer[1] = -2000;
    buffer[2 * FramesPerBuffer - 2] = -32768;
    buffer[2 * FramesPerBuffer - 1] = 32767;
    audio.deliver(buffer);
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() == 1; }));
    EXPECT_EQ(form1->InputSamples()[0][0], 1000.0);
    EXPECT_EQ(form1->InputSamples()[1][0], -2000.0);
    EXPECT_EQ(form1->InputSamples()[0][1], 5.0);
    EXPECT_EQ(form1->InputSamples()[1][1], 6.0);
    EXPECT_EQ(form1->InputSamples()[0][FramesPerBuffer - 1], -32768.0);
    EXPECT_EQ(form1->InputSamples()[1][FramesPerBuffer - 1], 32767.0);
    EXPECT_FALSE(form1->lampIsGreen());
}

TEST_F(MainWindow, BuffersThatArriveBeforeTheLoopRunsAreProcessedInOrder) {
    start();
    // 40 buffers before any event is handled: the 32 of the ring are kept, 8 are dropped at the
    // device side, and each kept one is handled once, in order.
    for (int buffer = 0; buffer < 40; ++buffer) audio.deliver(stereoBuffer(static_cast<std::int16_t>(buffer), 0));
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() >= 32; }));
    processEvents();
    EXPECT_EQ(form1->processedBuffers(), 32u);
    EXPECT_EQ(form1->InputSamples()[0][0], 31.0);
    EXPECT_EQ(form1->captureRing().droppedFrames(), 8u * FramesPerBuffer);

    // The ring is aligned again: the next buffer is the next one handled.
    audio.deliver(stereoBuffer(500, 0));
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() == 33; }));
    EXPECT_EQ(form1->InputSamples()[0][0], 500.0);
    EXPECT_EQ(form1->captureRing().captureIndex(), 1);
}

TEST_F(MainWindow, DefaultDeviceThatWillNotOpenGivesOneErrorBoxAndTheProgramRuns) {
    audio.captureFails = true;
    start();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, MessageKind::Error);
    EXPECT_EQ(messages[0].text, "Can not open the recoding device");
    EXPECT_FALSE(form1->captureOpen());
    EXPECT_TRUE(form1->inputProblem().startsWith("No input: ")) << form1->inputProblem().toStdString();
    form1->processCaptureBuffer();  // a stray notification finds no device and does nothing
    EXPECT_EQ(form1->processedBuffers(), 0u);

    audio.captureFailure = AudioError::Kind::BufferFailed;
    EXPECT_FALSE(form1->openCaptureDevice());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].text, "Can not get the buffer");
}

TEST_F(MainWindow, ChosenDeviceThatWillNotOpenIsSilent) {
    audio.deviceNames = {"USB Audio", "Line In"};
    start();
    audio.captureFails = true;
    form1->closeCaptureDevice();
    form1->WaveInIndex = 2;
    EXPECT_FALSE(form1->openCaptureDevice());
    EXPECT_EQ(audio.openedDevices.back(), 1);  // list position 2 is the second listed device
    EXPECT_TRUE(messages.empty());
    // No box, but the status bar says so until a device opens.
    EXPECT_TRUE(form1->inputProblem().startsWith("No input: the chosen input device cannot be opened"));
    audio.captureFails = false;
    EXPECT_TRUE(form1->openCaptureDevice());
    EXPECT_EQ(form1->inputProblem(), "");
    EXPECT_EQ(form1->Panel1->toolTip(), "");
}

TEST_F(MainWindow, InputFileStandsInForTheDeviceAndLoops) {
    // One buffer of audio: every buffer delivered is that buffer again.
    const std::string file = (directory / "one.wav").string();
    {
        SoundFileWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(file, 1, 48000, error));
        std::vector<std::int16_t> ramp(FramesPerBuffer);
        for (std::size_t n = 0; n < ramp.size(); ++n) ramp[n] = static_cast<std::int16_t>(n);
        ASSERT_TRUE(writer.writeFrames(ramp.data(), ramp.size()));
        ASSERT_TRUE(writer.close(error));
    }
    SoundFileInputBackend fileInput(file, audio);
    AppEnvironment env = environment();
    env.audio = &fileInput;
    env.inputFileName = file;
    start(std::move(env));
    EXPECT_TRUE(messages.empty());
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() >= 3; }));
    EXPECT_EQ(form1->InputSamples()[0][0], 0.0);
    EXPECT_EQ(form1->InputSamples()[0][4799], 4799.0);
    EXPECT_EQ(form1->InputSamples()[1][4799], 0.0);  // a mono file leaves the right channel silent
    EXPECT_EQ(form1->WaveInName, DefaultInputDeviceName);
}

TEST_F(MainWindow, InputFileOfAnotherRateArrivesAt48kHz) {
    // Half a second of a 1 kHz tone at 22050 Hz on the left: 500 whole periods, so that it loops
    // without a seam, and at 48 kHz a buffer holds 100 of them.
    const std::string file = (directory / "tone-22050.wav").string();
    {
        SoundFileWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(file, 2, 22050, error)) << error;
        std::vector<std::int16_t> frames(2 * 11025);
        for (std::size_t n = 0; n < 11025; ++n)
            frames[2 * n] =
                static_cast<std::int16_t>(std::lround(10000 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(n) / 22050)));
        ASSERT_TRUE(writer.writeFrames(frames.data(), 11025));
        ASSERT_TRUE(writer.close(error)) << error;
    }
    SoundFileInputBackend fileInput(file, audio);
    AppEnvironment env = environment();
    env.audio = &fileInput;
    env.inputFileName = file;
    start(std::move(env));
    EXPECT_TRUE(messages.empty());
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() >= 7; }));  // past the first loop
    double inPhase = 0;
    double quadrature = 0;
    for (std::size_t n = 0; n < FramesPerBuffer; ++n) {
        const double phase = 2 * std::numbers::pi * 1000 * static_cast<double>(n) / 48000;
        inPhase += form1->InputSamples()[0][n] * std::cos(phase);
        quadrature += form1->InputSamples()[0][n] * std::sin(phase);
    }
    EXPECT_NEAR(2 * std::hypot(inPhase, quadrature) / FramesPerBuffer, 10000, 100);
    EXPECT_EQ(*std::max_element(form1->InputSamples()[1].begin(), form1->InputSamples()[1].end()), 0.0);
}

TEST_F(MainWindow, UnusableInputFileIsReportedByNameAndTheProgramRuns) {
    const std::string file = (directory / "notes.wav").string();
    std::ofstream(file) << "shopping list";
    SoundFileInputBackend fileInput(file, audio);
    AppEnvironment env = environment();
    env.audio = &fileInput;
    env.inputFileName = file;
    start(std::move(env));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, MessageKind::Error);
    EXPECT_EQ(messages[0].text, QString::fromStdString("Can not open the input file \"" + file +
                                                       "\": it is not a sound file libsndfile can read: format not recognised."));
    EXPECT_FALSE(form1->captureOpen());
    // Once the box is gone the window still says why it decodes nothing.
    const QString said =
        QString::fromStdString("No input: \"" + file + "\" is not a sound file libsndfile can read: format not recognised");
    EXPECT_EQ(form1->inputProblem(), said);
    EXPECT_EQ(form1->Panel1->toolTip(), said);
    const auto labels = form1->statusBar()->findChildren<QLabel*>();
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](QLabel* label) { return label->text() == said && !label->isHidden(); }));
}

TEST_F(MainWindow, TerminationSignalClosesTheMainWindowLikeItsCloseBox) {
    start();
    form1->show();
    closeOnTerminationSignals(form1.get());
    ::raise(SIGTERM);
    EXPECT_TRUE(waitFor([&] { return !form1->isVisible(); }));
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
}

TEST(EntryPoint, AnEscapingExceptionIsShownInABoxAndTheProgramStillReturnsZero) {
    QProcess program;
    program.start(QStringLiteral(EXCEPTION_AT_START_UP), {});
    ASSERT_TRUE(program.waitForFinished(60000));
    const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << errors.toStdString();
    EXPECT_EQ(program.exitCode(), 0) << errors.toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(program.readAllStandardOutput()), "Sondeco: out of memory for the eye pattern\n");
}

TEST_F(MainWindow, PagesChangeFromTheKeyboard) {
    start();
    form1->show();
    ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == form1.get(); }));
    PageTabs* tabs = form1->TabControl1Tabs;
    QPlainTextEdit* text = form1->Memo1;
    text->setFocus();
    QTest::keyClick(text, Qt::Key_Tab);
    EXPECT_TRUE(tabs->hasFocus());

    // Left and Right stop at the ends; the text box follows the page.
    tabs->setCurrentIndex(1);
    for (Qt::Key key : {Qt::Key_Left, Qt::Key_Left}) QTest::keyClick(tabs, key);
    EXPECT_EQ(tabs->currentIndex(), 0);
    QTest::keyClick(tabs, Qt::Key_Right);
    EXPECT_TRUE(text->toPlainText().startsWith("Msg #3 :"));
    tabs->setCurrentIndex(10);
    QTest::keyClick(tabs, Qt::Key_Right);
    EXPECT_EQ(tabs->currentIndex(), 10);

    // Ctrl+Tab and Ctrl+Shift+Tab work from the text box, which keeps the focus, and go round.
    text->setFocus();
    QTest::keyClick(text, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(tabs->currentIndex(), 0);
    QTest::keyClick(text, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(tabs->currentIndex(), 10);
    EXPECT_TRUE(text->toPlainText().startsWith("Msg #35 :"));
    EXPECT_TRUE(text->hasFocus());
}

}  // namespace
}  // namespace sondeco::testing
