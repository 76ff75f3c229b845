// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Unit2.h"

#include "app/Unit8.h"
#include "app/fonts.h"
#include "app/main_window_link.h"
#include "app/up_down_control.h"
#include "app/window_placement.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>

namespace sondeco {
namespace {

// Labels size themselves to their caption, so a font a pixel wider than the design's never clips them.
QLabel* makeLabel(const char* caption, QWidget* parent, int left, int top) {
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QFont underlinedTahoma(int pixelHeight) {
    QFont font = tahomaFont(pixelHeight);
    font.setUnderline(true);
    return font;
}

}  // namespace

TForm2::TForm2(QWidget* owner, MainWindowLink& link) : QDialog(owner), owner_(owner), link_(link) {
    setWindowTitle(QStringLiteral("Settings"));
    setFont(tahomaFont(11));
    // The receiver choice sits below everything else, so the window is taller than the controls above
    // it need; none of them moves.
    setFixedSize(283, 256);

    GroupBox1 = new QGroupBox(QStringLiteral("Wave input device settings"), this);
    GroupBox1->setGeometry(8, 8, 265, 73);
    Label1 = makeLabel("Current input device :", GroupBox1, 24, 24);
    // Device names can be long: this one takes the width to the group's edge and elides nothing.
    Label2 = makeLabel("...", GroupBox1, 32, 47);
    Label2->setFont(underlinedTahoma(11));
    Label2->resize(225, Label2->sizeHint().height());
    Button1 = new QPushButton(QStringLiteral("Select device"), GroupBox1);
    Button1->setGeometry(163, 19, 84, 25);
    // This window has no default button: Qt would make this one the default of the dialog, and Enter
    // on a radio button would then open the device dialog. Space still presses it when it has the focus.
    Button1->setAutoDefault(false);
    Button1->setDefault(false);

    GroupBox2 = new QGroupBox(QStringLiteral("DGPS decoder settings"), this);
    GroupBox2->setGeometry(8, 87, 265, 90);
    Label5 = makeLabel("Center frequency", GroupBox2, 23, 28);
    Label6 = new QLabel(QStringLiteral("800 Hz"), GroupBox2);  // fixed size, centred: the value moves, not the box
    Label6->setGeometry(163, 24, 65, 20);
    Label6->setAlignment(Qt::AlignCenter);
    Label6->setFont(underlinedTahoma(13));
    UpDown1 = new UpDownControl(50, 100, GroupBox2);
    UpDown1->setGeometry(234, 24, 20, 20);
    UpDown1->setPosition(50);
    Label3 = makeLabel("Bit rate", GroupBox2, 24, 59);
    RadioButton1 = new QRadioButton(QStringLiteral("100 bps"), GroupBox2);
    RadioButton1->setGeometry(120, 58, 64, 17);
    RadioButton1->setChecked(true);
    RadioButton2 = new QRadioButton(QStringLiteral("200 bps"), GroupBox2);
    RadioButton2->setGeometry(197, 58, 64, 17);

    Label4 = makeLabel("Sondeco", this, 108, 181);
    Label4->setFont(tahomaFont(15));
    Label4->adjustSize();
    Label7 = makeLabel("Ver. 1.0.0 build 000", this, 178, 185);

    GroupBox3 = new QGroupBox(QStringLiteral("Receiver"), this);
    GroupBox3->setGeometry(8, 205, 265, 45);
    RadioButton3 = new QRadioButton(QStringLiteral("Classic"), GroupBox3);
    RadioButton3->setGeometry(24, 20, 80, 17);
    RadioButton3->setChecked(true);
    RadioButton4 = new QRadioButton(QStringLiteral("Enhanced"), GroupBox3);
    RadioButton4->setGeometry(120, 20, 90, 17);
    RadioButton4->setToolTip(QStringLiteral("Finds the beacon's tone and bit rate itself and decodes it coherently"));

    connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
    connect(RadioButton3, &QRadioButton::clicked, this, &TForm2::ReceiverClick);
    connect(RadioButton4, &QRadioButton::clicked, this, &TForm2::ReceiverClick);
    UpDown1->setClickHandler([this] { UpDown1Click(); });
    connect(RadioButton1, &QRadioButton::clicked, this, &TForm2::RadioButtonClick);
    connect(RadioButton2, &QRadioButton::clicked, this, &TForm2::RadioButtonClick);
}

void TForm2::showOrRaise() { showOrBringForward(this); }

void TForm2::showEvent(QShowEvent* event) {
    // The window system's own show events (a minimised window restored) are not a showing of the
    // window: it stays where the user put it, with what it shows.
    if (event->spontaneous()) {
        QDialog::showEvent(event);
        return;
    }
    placeOver(this, owner_, true);
    Label2->setText(QString::fromStdString(link_.inputDeviceName()));
    RadioButton1->setChecked(!link_.fastBitRate());
    RadioButton2->setChecked(link_.fastBitRate());
    UpDown1->setPosition(link_.centreFrequencyPosition());
    RadioButton3->setChecked(!link_.enhancedReceiver());
    RadioButton4->setChecked(link_.enhancedReceiver());
    updateFrequencyLabel();
    QDialog::showEvent(event);
}

void TForm2::Button1Click() {
    if (deviceWindow_ != nullptr) deviceWindow_->exec();
}

void TForm2::UpDown1Click() {
    updateFrequencyLabel();
    link_.setCentreFrequencyPosition(UpDown1->position());
}

void TForm2::ReceiverClick() { link_.setEnhancedReceiver(RadioButton4->isChecked()); }

void TForm2::RadioButtonClick() { link_.setFastBitRate(RadioButton2->isChecked()); }

void TForm2::updateFrequencyLabel() { Label6->setText(QStringLiteral("%1 Hz").arg(UpDown1->position() * 10)); }

}  // namespace sondeco
