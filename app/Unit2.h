// SPDX-License-Identifier: GPL-3.0-or-later
// TForm2: the non-modal "Settings" window. It shows the input device and holds the centre frequency
// and the bit rate; every change retunes the running demodulator at once.
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace sondeco {

class MainWindowLink;
class TForm8;
class UpDownControl;

class TForm2 final : public QDialog {
public:
    // Centred on `owner` whenever it is shown; the receiver's settings through `link`.
    TForm2(QWidget* owner, MainWindowLink& link);
    // The input-device window that "Select device" opens (built after this one).
    void setDeviceWindow(TForm8* window) { deviceWindow_ = window; }

    // "Settings" on the tool bar: shows the window, or brings it forward when it is already open.
    void showOrRaise();

    void Button1Click();  // "Select device"
    void UpDown1Click();
    void RadioButtonClick();
    void ReceiverClick();  // "Classic" / "Enhanced"
    void updateFrequencyLabel();

    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* Button1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    UpDownControl* UpDown1 = nullptr;
    QLabel* Label3 = nullptr;
    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton2 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label7 = nullptr;
    // Beyond the decoder settings: which receiver decodes.
    QGroupBox* GroupBox3 = nullptr;
    QRadioButton* RadioButton3 = nullptr;
    QRadioButton* RadioButton4 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* owner_;
    MainWindowLink& link_;
    TForm8* deviceWindow_ = nullptr;
};

}  // namespace sondeco
