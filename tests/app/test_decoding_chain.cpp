// SPDX-License-Identifier: GPL-3.0-or-later
// The whole chain behind the windows: generated beacon audio delivered as capture buffers, through the
// demodulator and decoder, to the pages, the status bar, the lamp and the two displays.
#include "tests/app/app_fixture.h"

#include "app/Unit2.h"
#include "app/Unit3.h"
#include "app/page_tabs.h"
#include "app/windows_1252.h"
#include "rtcm/message_builders.h"
#include "rtcm/rtcm_encoder.h"
#include "signalgen/msk_modulator.h"
#include "tests/support/beacon_buffers.h"

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <iconv.h>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <random>

namespace sondeco::testing {
namespace {

using DecodingChain = AppFixture;

// "Enhanced" in the settings: a beacon at a tone and rate the classic settings do not name is
// decoded into the same pages and status bar, the displays keep drawing the classic demodulator, and
// the choice is kept in the settings file (which gains the key only once it is made).
TEST_F(DecodingChain, TheEnhancedReceiverDecodesWhatTheClassicSettingsMissAndIsRemembered) {
    start();
    EXPECT_FALSE(form1->EnhancedReceiver);
    EXPECT_EQ(form1->receiver().kind(), ReceiverKind::Classic);
    form1->Form2->show();
    EXPECT_TRUE(form1->Form2->RadioButton3->isChecked());
    form1->Form2->RadioButton4->click();
    EXPECT_EQ(form1->receiver().kind(), ReceiverKind::Enhanced);

    BeaconAudioSettings signal;
    signal.seconds = 20;
    signal.bitRate = 100;
    signal.centreFrequency = 1500.0;  // beyond the classic 500..1000 Hz, and not the 200 bit/s set
    signal.ebN0Db = 15.0;
    for (const auto& buffer : beaconBuffers(signal)) {
        audio.deliver(buffer);
        ASSERT_TRUE(waitFor([&, n = form1->processedBuffers()] { return form1->processedBuffers() == n + 1; }));
    }
    EXPECT_GE(form1->decoder().statistics().frames, 5u);  // about 7 sent, less the time to find the beacon
    EXPECT_EQ(form1->StatusBar1Panels[0]->text(), "Ref ID : 491");
    EXPECT_EQ(form1->TabControl1Tabs->tabText(4), "Msg #9*");
    // The classic demodulator still ran (its mixer output moves), though it decoded nothing itself.
    const auto& mixed = form1->demodulator().MixedSamples();
    EXPECT_TRUE(std::any_of(mixed.begin(), mixed.end(), [](double x) { return x != 0.0; }));

    const std::string settingsFile = form1->settingsFileName();
    form1->close();
    form1.reset();
    std::ifstream file(settingsFile);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("Receiver=Enhanced"), std::string::npos) << text;
    start();
    EXPECT_TRUE(form1->EnhancedReceiver);
    EXPECT_EQ(form1->receiver().kind(), ReceiverKind::Enhanced);
    form1->Form2->RadioButton3->click();
    EXPECT_EQ(form1->receiver().kind(), ReceiverKind::Classic);
}

// A beacon the classic settings cannot hear (1700 Hz, 100 bit/s): the enhanced search beside the
// classic chain points it out, and once Enhanced is chosen the window says what it decodes.
TEST_F(DecodingChain, ClassicModeNamesABeaconItIsNotTunedToAndEnhancedModeWhatItDecodes) {
    start();
    form1->show();
    BeaconAudioSettings signal;
    signal.seconds = 30;
    signal.bitRate = 100;
    signal.centreFrequency = 1700.0;
    signal.ebN0Db = 15.0;
    const auto buffers = beaconBuffers(signal);
    const auto play = [&](std::size_t from, std::size_t to) {
        for (std::size_t n = from; n < to; ++n) {
            audio.deliver(buffers[n]);
            ASSERT_TRUE(waitFor([&, done = form1->processedBuffers()] { return form1->processedBuffers() == done + 1; }));
        }
    };
    play(0, 30);
    EXPECT_EQ(form1->receiverText(), "") << "pointed out before the classic chain had its chance";
    play(30, 120);
    const QString hint = "A beacon at 1700 Hz, 100 bit/s: choose Enhanced to decode it";
    EXPECT_EQ(form1->receiverText(), hint);
    EXPECT_EQ(form1->Panel1->toolTip(), hint);
    EXPECT_EQ(form1->Form2->GroupBox3->toolTip(), hint);
    EXPECT_FALSE(form1->lampIsGreen());

    form1->Form2->RadioButton4->click();
    play(120, buffers.size());
    EXPECT_TRUE(form1->receiverText().startsWith("Enhanced: a beacon at 1700 Hz, 100 bit/s, Eb/N0 "))
        << form1->receiverText().toStdString();
    EXPECT_EQ(form1->Image1->toolTip(), form1->receiverText());
    EXPECT_GE(form1->decoder().statistics().frames, 3u);
}

TEST_F(DecodingChain, ASettingsFileWithoutTheReceiverKeyStaysWithoutIt) {
    start();
    const std::string settingsFile = form1->settingsFileName();
    form1->close();
    form1.reset();
    std::ifstream file(settingsFile);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("DecFreqPos="), std::string::npos);
    EXPECT_EQ(text.find("Receiver="), std::string::npos) << text;
}

TEST_F(DecodingChain, BeaconAudioFillsPagesStatusBarAndLamp) {
    start();
    BeaconAudioSettings signal;
    signal.seconds = 12;
    const auto buffers = beaconBuffers(signal);
    int greenBuffers = 0;
    for (const auto& buffer : buffers) {
        audio.deliver(buffer);
        ASSERT_TRUE(waitFor([&, n = form1->processedBuffers()] { return form1->processedBuffers() == n + 1; }));
        // The lamp shows the decoder's frame lock as it stands at the end of each buffer.
        EXPECT_EQ(form1->lampIsGreen(), form1->decoder().frame().frameLocked);
        greenBuffers += form1->lampIsGreen();
    }
    EXPECT_GT(greenBuffers, 80);
    EXPECT_EQ(form1->StatusBar1Panels[0]->text(), "Ref ID : 491");
    EXPECT_EQ(form1->StatusBar1Panels[5]->text(), "Normal");
    EXPECT_EQ(form1->TabControl1Tabs->tabText(4), "Msg #9*");
    EXPECT_EQ(form1->decoder().statistics().parityFailures, 0u);
    // "Msg #9" is the page on show: the text box holds its table.
    EXPECT_TRUE(form1->Memo1->toPlainText().startsWith("Msg #9 : GPS Partial Correction Set\n\nSat ID"));
    EXPECT_TRUE(form1->Memo1->toPlainText().contains("Last up date at 12:34:56"));

    // Then the receiver's hiss alone: the first word that fails parity drops the lock; the lamp follows.
    std::mt19937 random(7);
    std::normal_distribution<double> hiss(0.0, 3000.0);
    std::vector<std::int16_t> noise(SamplesPerBuffer, 0);
    for (int i = 0; i < 30; ++i) {
        for (std::size_t n = 0; n < noise.size(); n += 2) noise[n] = static_cast<std::int16_t>(hiss(random));
        audio.deliver(noise);
    }
    ASSERT_TRUE(waitFor([&] { return form1->processedBuffers() == buffers.size() + 30; }));
    EXPECT_FALSE(form1->decoder().frame().frameLocked);
    EXPECT_FALSE(form1->lampIsGreen());
}

TEST_F(DecodingChain, EyePatternMovesOnlyWhileItsWindowShows) {
    start();
    BeaconAudioSettings signal;
    signal.seconds = 4;
    const auto buffers = beaconBuffers(signal);
    auto feed = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) audio.deliver(buffers[i]);
        ASSERT_TRUE(waitFor([&, n = form1->processedBuffers() + (to - from)] { return form1->processedBuffers() == n; }));
    };
    feed(0, 10);
    const auto hidden = form1->eyePattern().EyeHistory();
    for (const auto& row : hidden) EXPECT_TRUE(std::all_of(row.marks.begin(), row.marks.end(), [](auto m) { return m == 0; }));

    form1->SpeedButton1->click();
    ASSERT_TRUE(form1->Form3->isVisible());
    feed(10, 20);
    const auto& history = form1->eyePattern().EyeHistory();
    EXPECT_GT(std::count(history[2].marks.begin(), history[2].marks.end(), 1), 15);  // 20 bits a buffer
    ASSERT_NE(form1->Form3->Image1->pixmap().toImage().convertToFormat(QImage::Format_RGB888), QImage());
    EXPECT_EQ(form1->Form3->Image1->pixmap().toImage().convertToFormat(QImage::Format_RGB888), form1->EyeBitmap());

    form1->Form3->hide();
    const auto frozen = form1->eyePattern().EyeHistory();
    feed(20, 30);
    for (std::size_t r = 0; r < frozen.size(); ++r) EXPECT_EQ(form1->eyePattern().EyeHistory()[r].trace, frozen[r].trace);
}

TEST_F(DecodingChain, SpecialMessageBytesShowAsTheirWindowsCharacters) {
    start();
    form1->TabControl1Tabs->setCurrentIndex(5);  // "Msg #16"
    // A station's text with bytes from 0x80 to 0x9F, one the code page leaves undefined, and a Latin-1 one.
    const std::string text = "\x80 \x85 \x81 \x9F \xE9";
    std::vector<std::uint8_t> bits;
    RtcmEncoder encoder;
    for (int frame = 0; frame < 6; ++frame) encoder.appendFrameBits({16, 491, 100 + frame, frame, 0}, buildSpecialMessageWords(text), bits);
    MskModulator modulator(MskSettings{});
    modulator.pushBits(bits);
    std::vector<double> samples(bits.size() * 240 + FramesPerBuffer);  // 240 samples a bit at 200 bit/s, then silence
    modulator.render(samples);
    std::vector<std::int16_t> buffer(SamplesPerBuffer);
    for (std::size_t start = 0; start + FramesPerBuffer <= samples.size(); start += FramesPerBuffer) {
        for (std::size_t n = 0; n < FramesPerBuffer; ++n) buffer[2 * n] = static_cast<std::int16_t>(std::lround(samples[start + n]));
        audio.deliver(buffer);
        ASSERT_TRUE(waitFor([&, done = form1->processedBuffers()] { return form1->processedBuffers() == done + 1; }));
    }
    EXPECT_TRUE(form1->Memo1->toPlainText().contains(QString::fromUtf8("\n\u20AC \u2026 \uFFFD \u0178 \u00E9\n")))
        << form1->Memo1->toPlainText().toStdString();
}

// Every byte against the C library's own table of the code page, which knows no character for the
// five undefined codes.
TEST(Windows1252, EveryByteIsTheCharacterOfTheCodePage) {
    const iconv_t toUtf32 = ::iconv_open("UTF-32LE", "CP1252");
    ASSERT_NE(toUtf32, reinterpret_cast<iconv_t>(-1)) << "the C library has no CP1252";
    std::string all(256, '\0');
    for (int code = 0; code < 256; ++code) all[static_cast<std::size_t>(code)] = static_cast<char>(code);
    const QString shown = windows1252ToString(all);
    ASSERT_EQ(shown.size(), 256);
    int undefined = 0;
    for (int code = 0; code < 256; ++code) {
        char in = static_cast<char>(code);
        char32_t out = 0;
        char* inPointer = &in;
        char* outPointer = reinterpret_cast<char*>(&out);
        std::size_t inLeft = 1, outLeft = sizeof out;
        ::iconv(toUtf32, nullptr, nullptr, nullptr, nullptr);
        const bool known = ::iconv(toUtf32, &inPointer, &inLeft, &outPointer, &outLeft) != static_cast<std::size_t>(-1);
        undefined += !known;
        EXPECT_EQ(shown[code].unicode(), known ? out : 0xFFFD) << "byte " << code;
    }
    EXPECT_EQ(undefined, 5);
    ::iconv_close(toUtf32);
}

}  // namespace
}  // namespace sondeco::testing
