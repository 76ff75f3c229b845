// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Unit1.h"

#include "app/Unit2.h"
#include "app/Unit3.h"
#include "app/fonts.h"
#include "app/main_window_link.h"
#include "app/page_tabs.h"
#include "app/settings_file.h"
#include "app/settings_location.h"
#include "app/window_placement.h"
#include "app/windows_1252.h"
#include "coherent/enhanced_receiver.h"
#include "present/page_text.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

namespace sondeco {
namespace {

constexpr std::array<int, StatusPanelCount> StatusPanelWidths{90, 100, 120, 95, 105, 50};
constexpr QRgb LampGreen = qRgb(0x00, 0xFF, 0x00);

QPushButton* makeToolButton(QWidget* parent, const char* caption, int left) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setGeometry(left, 2, 70, 28);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

QFrame* makeLoweredPanel(QWidget* parent, int left, int width) {
    auto* panel = new QFrame(parent);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setLineWidth(1);
    panel->setGeometry(left, 3, width, 26);
    return panel;
}

}  // namespace

// The main window as the settings and device windows see it.
class TForm1::Link final : public MainWindowLink {
public:
    explicit Link(TForm1& window) : window_(window) {}
    int centreFrequencyPosition() const override { return window_.DecFreqPos; }
    void setCentreFrequencyPosition(int position) override {
        window_.DecFreqPos = position;
        window_.tuneCenterFrequency();
    }
    bool fastBitRate() const override { return window_.DecBitRate; }
    void setFastBitRate(bool fast) override {
        window_.DecBitRate = fast;
        window_.tuneBitRate();
    }
    bool enhancedReceiver() const override { return window_.EnhancedReceiver; }
    void setEnhancedReceiver(bool enhanced) override {
        window_.EnhancedReceiver = enhanced;
        window_.selectReceiver();
    }
    std::vector<std::string> inputDeviceNames() const override { return window_.audio().inputDeviceNames(); }
    int inputDeviceIndex() const override { return window_.WaveInIndex; }
    const std::string& inputDeviceName() const override { return window_.WaveInName; }
    void chooseInputDevice(int index, const std::string& name) override {
        window_.WaveInIndex = index;
        window_.WaveInName = name;
    }
    bool openCaptureDevice() override { return window_.openCaptureDevice(); }
    bool closeCaptureDevice() override { return window_.closeCaptureDevice(); }
    bool captureRunning() const override { return window_.captureRunning(); }
    std::chrono::milliseconds restartPause() const override { return window_.restartPause(); }
    void showMessage(MessageKind kind, const QString& text) const override { window_.showMessage(kind, text); }
    void startProgram(const QString& program, const QStringList& arguments) const override { window_.startProgram(program, arguments); }

private:
    TForm1& window_;
};

MainWindowLink& TForm1::link() {
    if (!link_) link_ = std::make_unique<Link>(*this);
    return *link_;
}

TForm1::TForm1(AppEnvironment environment)
    : environment_(std::move(environment)), receiver_(displaySettings()), pages_(environment_.clock, this) {
    buildControls();

    WaveInName = "";
    settingsFileName_ = environment_.settingsFileName.empty() ? settingsFileOfThisProgram() : environment_.settingsFileName;
    loadSettings(*this, settingsFileName_);

    tuneCenterFrequency();
    tuneBitRate();
    selectReceiver();

    // The status bar first, then the pages: both hear of every frame, in this order.
    receiver_.addListener(*this);
    receiver_.addListener(pages_);
    if (environment_.attachOutputs) environment_.attachOutputs(receiver_, pages_);
    pages_.rebuildTabCaptions();
    TabControl1Tabs->setCurrentIndex(TabIndex);
    pages_.clearAllMessages();

    indicatorBitmap_ = SignalIndicator::makeBitmap();
    eyeBitmap_ = EyePattern::makeBitmap();
    Image1->setPixmap(QPixmap::fromImage(indicatorBitmap_));

    ring_.setSlotCompletedHandler([this] {
        // Audio thread: only post. The main thread takes the buffer at CaptureIndex when it gets to it.
        QMetaObject::invokeMethod(this, &TForm1::processCaptureBuffer, Qt::QueuedConnection);
    });

    openPlayDevice();  // a failure is reported there; the program runs on without monitor output
    FormCreate();
}

TForm1::~TForm1() { FormDestroy(); }

void TForm1::buildControls() {
    setWindowTitle(QStringLiteral("Sondeco"));
    setFont(tahomaFont(11));
    setMinimumSize(660, 200);

    auto* client = new QWidget(this);
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    setCentralWidget(client);

    Panel3 = new QFrame(client);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setFixedHeight(32);
    static_cast<QFrame*>(Panel3)->setFrameStyle(QFrame::Panel | QFrame::Raised);
    layout->addWidget(Panel3);
    Panel3->installEventFilter(this);

    SpeedButton4 = makeToolButton(Panel3, "Settings", 4);
    Button1 = makeToolButton(Panel3, "Msg Clear", 80);
    SpeedButton1 = makeToolButton(Panel3, "Eye Pattern", 156);
    SpeedButton3 = makeToolButton(Panel3, "Monitor", 232);
    SpeedButton3->setCheckable(true);  // a toggle: down while the monitor plays

    Panel2 = makeLoweredPanel(Panel3, 502, 87);
    Image1 = new QLabel(Panel2);
    Image1->setGeometry(1, 1, 85, 24);
    Panel1 = makeLoweredPanel(Panel3, 595, 6);
    Panel1->setAutoFillBackground(true);
    setLamp(false);

    TabControl1 = new QWidget(client);
    auto* tabLayout = new QVBoxLayout(TabControl1);
    tabLayout->setContentsMargins(2, 2, 2, 2);
    tabLayout->setSpacing(0);
    TabControl1Tabs = new PageTabs(TabControl1);
    for (int type : PageTypes) TabControl1Tabs->addTab(QStringLiteral("Msg #%1*").arg(type));
    tabLayout->addWidget(TabControl1Tabs);
    Memo1 = new QPlainTextEdit(TabControl1);
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setFont(tahomaFont(12));
    // Table cells are padded to 7 or 15 characters and end in a tab; tab stops every 8 average
    // character widths make the columns line up.
    Memo1->setTabStopDistance(8.0 * QFontMetricsF(Memo1->font()).averageCharWidth());
    tabLayout->addWidget(Memo1);
    layout->addWidget(TabControl1, 1);

    auto* statusBar = new QStatusBar(this);
    statusBar->setFixedHeight(19);
    for (int panel = 0; panel < StatusPanelCount; ++panel) {
        auto* label = new QLabel(QString::fromLatin1(StatusPrefixes[static_cast<std::size_t>(panel)]), statusBar);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setFixedWidth(StatusPanelWidths[static_cast<std::size_t>(panel)]);
        statusBar->addWidget(label);
        StatusBar1Panels[static_cast<std::size_t>(panel)] = label;
    }
    // Not one of the panels: shown only while there is no input, so that a window that decodes
    // nothing says why rather than looking idle.
    inputProblemLabel_ = new QLabel(statusBar);
    inputProblemLabel_->hide();
    statusBar->addWidget(inputProblemLabel_, 1);
    setStatusBar(statusBar);

    connect(SpeedButton4, &QPushButton::clicked, this, &TForm1::SpeedButton4Click);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(SpeedButton1, &QPushButton::clicked, this, &TForm1::SpeedButton1Click);
    connect(SpeedButton3, &QPushButton::clicked, this, &TForm1::SpeedButton3Click);
    TabControl1Tabs->setCurrentChangedHandler([this](int) { TabControl1Change(); });
}

void TForm1::FormCreate() {
    const QRect placed = placedOnScreens(MainLeft, MainTop, MainWidth, MainHeight, minimumSize());
    move(placed.topLeft());
    resize(placed.size());
    setWindowState(MainMaxmum ? Qt::WindowMaximized : Qt::WindowNoState);
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
    // The message loop ends with the main window, even while a tool window is still showing.
    QCoreApplication::quit();
}

void TForm1::FormClose() {
    WindowState now;
    now.top = y();
    now.left = x();
    now.width = width();
    now.height = height();
    now.maximised = isMaximized();
    now.tabIndex = TabControl1Tabs->currentIndex();
    std::string error;
    // One message naming the file; the window closes all the same, and the old file is left whole.
    if (!saveSettings(*this, now, settingsFileName_, error)) showMessage(MessageKind::Error, QString::fromStdString(error));
}

void TForm1::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    closeCaptureDevice();
    closePlayDevice();
    eyeBitmap_ = QImage();
    indicatorBitmap_ = QImage();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Panel3 && event->type() == QEvent::Resize) Panel3Resize();
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::Panel3Resize() {
    // Lamp and indicator stay at the right end of the tool bar.
    Panel1->move(Panel3->width() - 11, Panel1->y());
    Panel2->move(Panel3->width() - 102, Panel2->y());
}

void TForm1::SpeedButton4Click() {
    if (Form2 != nullptr) Form2->showOrRaise();
}

void TForm1::SpeedButton1Click() {
    if (Form3 != nullptr) Form3->showOrRaise();
}

void TForm1::SpeedButton3Click() {
    // Pressed: 100 ms of silence goes ahead of the first monitored buffer. Released: nothing more is
    // written and what is queued plays out.
    if (SpeedButton3->isChecked()) monitor_.queueSilence();
}

void TForm1::Button1Click() { pages_.clearSelectedPage(); }

void TForm1::TabControl1Change() { pages_.showCurrentPage(); }

void TForm1::showMessage(MessageKind kind, const QString& text) const {
    if (environment_.messageBox) environment_.messageBox(kind, text);
}

void TForm1::startProgram(const QString& program, const QStringList& arguments) const {
    if (environment_.startProgram) environment_.startProgram(program, arguments);
}

bool TForm1::openCaptureDevice() {
    if (capture_) return true;
    ring_.reset();
    AudioError error;
    capture_ = environment_.audio->openCapture(WaveInIndex == 0 ? -1 : WaveInIndex - 1, ring_, error);
    if (capture_) {
        setInputProblem({});
        return true;
    }
    const QString detail = QString::fromStdString(error.detail);
    if (!environment_.inputFileName.empty()) {
        // The file stands in for the device: say which file and what is wrong with it.
        const QString file = QString::fromStdString(environment_.inputFileName);
        showMessage(MessageKind::Error, QStringLiteral("Can not open the input file \"%1\": it %2.").arg(file, detail));
        setInputProblem(QStringLiteral("\"%1\" %2").arg(file, detail));
    } else if (WaveInIndex == 0) {
        // Only the default device is reported by a box; a chosen device that is absent stays
        // silent there, but the status bar says it too.
        showMessage(MessageKind::Error, error.kind == AudioError::Kind::BufferFailed ? QStringLiteral("Can not get the buffer")
                                                                                     : QStringLiteral("Can not open the recoding device"));
        setInputProblem(detail.isEmpty() ? QStringLiteral("the input device cannot be opened") : detail);
    } else {
        setInputProblem(QStringLiteral("the chosen input device cannot be opened") + (detail.isEmpty() ? QString() : ": " + detail));
    }
    return false;
}

bool TForm1::closeCaptureDevice() {
    if (!capture_) return true;
    capture_.reset();  // stops the producer before returning
    ring_.reset();  // CaptureIndex back to 0: every open starts at slot 0
    return true;
}

void TForm1::processCaptureBuffer() {
    // Notifications of a closed device, or a second one for a buffer already taken, find nothing.
    if (!capture_ || !ring_.hasCompletedSlot()) return;
    const CaptureRing::Slot& slot = ring_.currentSlot();
    for (std::size_t n = 0; n < static_cast<std::size_t>(FramesPerBuffer); ++n) {
        inputSamples_[0][n] = slot[2 * n];
        inputSamples_[1][n] = slot[2 * n + 1];
    }
    ring_.releaseCurrentSlot();
    ++processedBuffers_;

    if (SpeedButton3->isChecked()) monitor_.queueLeftChannel(inputSamples_[0]);

    receiver_.processBuffer(inputSamples_[0]);

    const Demodulator& demodulator = receiver_.demodulator();
    signalIndicator_.drawSignalIndicator(indicatorBitmap_, demodulator.MixedSamples(), DecBitRate);
    Image1->setPixmap(QPixmap::fromImage(indicatorBitmap_));
    // The eye pattern's history moves only while its window shows.
    if (Form3 != nullptr && Form3->isVisible()) {
        const DemodulatorTuning& tuning = demodulator.tuning();
        eyePattern_.drawEyePattern(eyeBitmap_, demodulator.FrequencyTrace(), demodulator.BitMarks(), tuning.EyeSampleSpacing,
                                   tuning.EyeVerticalScale);
        Form3->showBitmap(eyeBitmap_);
    }

    setLamp(receiver_.decoder().frame().frameLocked);
    updateReceiverText();
}

void TForm1::updateReceiverText() {
    // The classic chain is given this long to lock before a beacon elsewhere is pointed out.
    constexpr std::uint64_t HintAfterBuffers = 50;  // 5 s
    if (receiver_.decoder().frame().frameLocked) lastLockedBuffer_ = processedBuffers_;
    QString text;
    if (const auto* enhanced = receiver_.enhanced()) {
        const auto tone = enhanced->toneHz();
        const auto rate = enhanced->bitRate();
        const auto ebN0 = enhanced->ebN0Db();
        text = tone && rate ? QStringLiteral("Enhanced: a beacon at %1 Hz, %2 bit/s").arg(std::lround(*tone)).arg(std::lround(*rate)) +
                                  (ebN0 ? QStringLiteral(", Eb/N0 %1 dB").arg(*ebN0, 0, 'f', 1) : QString())
                            : QStringLiteral("Enhanced: searching for a beacon");
    } else if (const auto* scout = receiver_.scout();
               scout != nullptr && scout->locked() && processedBuffers_ - lastLockedBuffer_ >= HintAfterBuffers) {
        const auto tone = scout->toneHz();
        const auto rate = scout->bitRate();
        if (tone && rate)
            text =
                QStringLiteral("A beacon at %1 Hz, %2 bit/s: choose Enhanced to decode it").arg(std::lround(*tone)).arg(std::lround(*rate));
    }
    if (text == receiverText_) return;
    receiverText_ = text;
    if (inputProblem_.isEmpty()) Panel1->setToolTip(receiverText_);
    Image1->setToolTip(receiver_.enhanced() != nullptr ? receiverText_ : QString());
    if (Form2 != nullptr) Form2->GroupBox3->setToolTip(receiverText_);
}

bool TForm1::openPlayDevice() {
    AudioError error;
    if (monitor_.openPlayDevice(*environment_.audio, error)) return true;
    showMessage(MessageKind::Error, error.kind == AudioError::Kind::BufferFailed ? QStringLiteral("Can not get the buffer")
                                                                                 : QStringLiteral("Can not open the play device"));
    return false;
}

void TForm1::closePlayDevice() { monitor_.closePlayDevice(); }

void TForm1::writeMonitorBuffer() { monitor_.writeMonitorBuffer(); }

void TForm1::tuneCenterFrequency() { receiver_.tuneCenterFrequency(DecFreqPos); }

void TForm1::tuneBitRate() { receiver_.tuneBitRate(DecBitRate); }

void TForm1::selectReceiver() { receiver_.setKind(EnhancedReceiver ? ReceiverKind::Enhanced : ReceiverKind::Classic); }

void TForm1::setLamp(bool green) {
    if (green == lampGreen_ && lampSet_) return;  // ten times a second: repaint only on a change
    lampGreen_ = green;
    lampSet_ = true;
    QPalette palette = Panel1->palette();
    palette.setColor(QPalette::Window, green ? QColor(LampGreen) : QColor(Qt::black));
    Panel1->setPalette(palette);
}

void TForm1::setInputProblem(const QString& problem) {
    inputProblem_ = problem.isEmpty() ? QString() : QStringLiteral("No input: ") + problem;
    inputProblemLabel_->setText(inputProblem_);
    inputProblemLabel_->setToolTip(inputProblem_);
    inputProblemLabel_->setVisible(!inputProblem_.isEmpty());
    Panel1->setToolTip(inputProblem_.isEmpty() ? receiverText_ : inputProblem_);
}

bool TForm1::lampIsGreen() const { return Panel1->palette().color(QPalette::Window) == QColor(LampGreen); }

void TForm1::setStatusText(int panel, const std::string& text) {
    if (panel >= 0 && panel < StatusPanelCount)
        StatusBar1Panels[static_cast<std::size_t>(panel)]->setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

void TForm1::headerAccepted(const RtcmFrame& frame) {
    const auto texts = statusPanelTexts(frame);
    for (int panel = 0; panel < StatusPanelCount; ++panel) setStatusText(panel, texts[static_cast<std::size_t>(panel)]);
}

void TForm1::syncLost() {
    for (int panel = 0; panel < StatusPanelCount; ++panel) setStatusText(panel, StatusPrefixes[static_cast<std::size_t>(panel)]);
}

int TForm1::selectedPage() const { return TabControl1Tabs->currentIndex(); }

void TForm1::showPageText(const std::string& text) {
    const std::string lines = normaliseLineEnds(text);
    Memo1->setPlainText(windows1252ToString(lines));
}

void TForm1::setTabCaptions(const std::array<std::string, PageCount>& captions) {
    for (int k = 0; k < PageCount && k < TabControl1Tabs->count(); ++k)
        TabControl1Tabs->setTabText(k, QString::fromStdString(captions[static_cast<std::size_t>(k)]));
}

}  // namespace sondeco
