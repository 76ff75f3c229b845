// SPDX-License-Identifier: GPL-3.0-or-later
// TForm1, the main window: tool bar with the signal indicator and frame-lock lamp, one tab per message
// page over the text box, the frame header in the status bar. It owns the settings fields and the
// per-buffer processing chain; the work itself lives in audio/, demod/, rtcm/ and display/.
#pragma once

#include "app/message_box.h"
#include "app/settings_fields.h"
#include "audio/audio_backend.h"
#include "audio/capture_ring.h"
#include "audio/monitor_player.h"
#include "display/eye_pattern.h"
#include "display/signal_indicator.h"
#include "output/status_panels.h"
#include "present/message_pages.h"
#include "receiver/receiver.h"

#include <QImage>
#include <QMainWindow>

#include <QStringList>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QWidget;

namespace sondeco {

class MainWindowLink;
class TForm2;
class TForm3;
class TForm8;
class TForm9;
class PageTabs;

// What the program gets from outside: the audio system, how to show a message box, where the
// settings live, and (for `--input`) the WAV file standing in for the capture device.
struct AppEnvironment {
    AudioBackend* audio = nullptr;
    MessageBoxFunction messageBox;
    std::string settingsFileName;  // empty: beside the executable, named after it
    std::string inputFileName;  // empty: capture from the chosen device
    LocalTimeSource clock = currentLocalTime;
    // How long capture rests between closing one device and opening the next.
    std::chrono::milliseconds restartPause{1000};
    // Starts a desktop program without waiting for it (the sound settings tool).
    std::function<void(const QString& program, const QStringList& arguments)> startProgram;
    // Adds the outputs beyond the window (--listen, --serial) as listeners, once both exist.
    std::function<void(Receiver& receiver, MessagePages& pages)> attachOutputs;
};

class TForm1 final : public QMainWindow, public SettingsFields, public DecoderListener, public PageView {
public:
    explicit TForm1(AppEnvironment environment);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // What the settings and device windows may ask of this one (main_window_link.h).
    MainWindowLink& link();

    // The secondary windows, created after this one and owned by it as Qt children.
    TForm2* Form2 = nullptr;
    TForm8* Form8 = nullptr;
    TForm9* Form9 = nullptr;
    TForm3* Form3 = nullptr;

    // Capture: opens the device at WaveInIndex, reporting failures as the user expects.
    bool openCaptureDevice();
    bool closeCaptureDevice();
    bool captureOpen() const { return capture_ != nullptr; }
    // Open and still delivering: false once the device has gone away under a running stream.
    bool captureRunning() const { return capture_ != nullptr && capture_->isRunning(); }
    // Handles the next completed capture buffer: one run per notification from the audio thread.
    void processCaptureBuffer();

    // Monitor output: opened once at start-up, written while "Monitor" is down.
    bool openPlayDevice();
    void closePlayDevice();
    void writeMonitorBuffer();
    const MonitorPlayer& monitor() const { return monitor_; }

    // Demodulator tuning from the settings fields.
    void tuneCenterFrequency();
    void tuneBitRate();
    // The receiver whose bits are decoded, from EnhancedReceiver. The classic demodulator runs either
    // way: the signal indicator and the eye pattern always draw its outputs.
    void selectReceiver();
    double CenterFrequency() const { return receiver_.demodulator().tuning().CenterFrequency; }

    void showMessage(MessageKind kind, const QString& text) const;
    void startProgram(const QString& program, const QStringList& arguments) const;
    std::chrono::milliseconds restartPause() const { return environment_.restartPause; }
    AudioBackend& audio() const { return *environment_.audio; }

    // DecoderListener: the frame header goes to the status bar, a lost lock clears it.
    void headerAccepted(const RtcmFrame& frame) override;
    void syncLost() override;
    void setStatusText(int panel, const std::string& text);
    // PageView: the pages go to the text box and the tabs.
    int selectedPage() const override;
    void showPageText(const std::string& text) override;
    void setTabCaptions(const std::array<std::string, PageCount>& captions) override;

    // Event handlers.
    void FormCreate();
    void Panel3Resize();
    void SpeedButton4Click();  // "Settings"
    void SpeedButton1Click();  // "Eye Pattern"
    void SpeedButton3Click();  // "Monitor"
    void Button1Click();  // "Msg Clear"
    void TabControl1Change();

    // Controls, named as on the form.
    QWidget* Panel3 = nullptr;
    QPushButton* SpeedButton4 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* SpeedButton1 = nullptr;
    QPushButton* SpeedButton3 = nullptr;
    QFrame* Panel2 = nullptr;
    QLabel* Image1 = nullptr;
    QFrame* Panel1 = nullptr;
    QWidget* TabControl1 = nullptr;
    PageTabs* TabControl1Tabs = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    std::array<QLabel*, StatusPanelCount> StatusBar1Panels{};

    // Read by the tests and the displays.
    const Demodulator& demodulator() const { return receiver_.demodulator(); }
    const RtcmDecoder& decoder() const { return receiver_.decoder(); }
    const Receiver& receiver() const { return receiver_; }
    MessagePages& pages() { return pages_; }
    const CaptureRing& captureRing() const { return ring_; }
    CaptureRing& captureRing() { return ring_; }
    const std::array<std::array<double, FramesPerBuffer>, 2>& InputSamples() const { return inputSamples_; }
    const QImage& IndicatorBitmap() const { return indicatorBitmap_; }
    const QImage& EyeBitmap() const { return eyeBitmap_; }
    const EyePattern& eyePattern() const { return eyePattern_; }
    const std::string& settingsFileName() const { return settingsFileName_; }
    bool lampIsGreen() const;
    std::uint64_t processedBuffers() const { return processedBuffers_; }
    // Why there is no input ("No input: ..."), shown beside the status bar's panels and as the lamp's
    // tooltip while capture cannot be opened; empty while there is input.
    QString inputProblem() const { return inputProblem_; }
    // What the receiver knows beyond the lamp: in Enhanced mode the beacon it decodes (tone, rate,
    // Eb/N0); in Classic mode, while the lamp stays black, a beacon the enhanced search hears, and
    // how to decode it. Shown as the lamp's tooltip (after an input problem), the indicator's and the
    // settings window's Receiver group's.
    QString receiverText() const { return receiverText_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Link;
    static ReceiverSettings displaySettings() {
        ReceiverSettings settings;
        settings.classicForDisplays = true;
        settings.scoutInClassic = true;
        return settings;
    }
    void buildControls();
    void FormClose();
    void FormDestroy();
    void setLamp(bool green);
    void setInputProblem(const QString& problem);
    void updateReceiverText();

    AppEnvironment environment_;
    std::string settingsFileName_;
    CaptureRing ring_;
    std::unique_ptr<CaptureStream> capture_;
    std::array<std::array<double, FramesPerBuffer>, 2> inputSamples_{};
    Receiver receiver_;
    MessagePages pages_;
    MonitorPlayer monitor_;
    SignalIndicator signalIndicator_;
    EyePattern eyePattern_;
    // Owned here and drawn in place every buffer; no other QImage copy is kept, so drawing never
    // has to detach (copy) the pixels.
    QImage indicatorBitmap_;
    QImage eyeBitmap_;
    bool lampGreen_ = false;
    bool lampSet_ = false;
    QString inputProblem_;
    QString receiverText_;
    std::uint64_t lastLockedBuffer_ = 0;  // processedBuffers_ when the lamp was last green
    QLabel* inputProblemLabel_ = nullptr;
    bool destroyed_ = false;
    std::uint64_t processedBuffers_ = 0;
    std::unique_ptr<Link> link_;
};

}  // namespace sondeco
