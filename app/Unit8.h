// SPDX-License-Identifier: GPL-3.0-or-later
// TForm8: the modal input-device dialog. Its construction fills the device list, resolves the saved
// device name and opens capture; "OK" on another device restarts capture on it.
#pragma once

#include <QDialog>

#include <string>

class QComboBox;
class QGroupBox;
class QPushButton;

namespace sondeco {

class TForm1;

class TForm8 final : public QDialog {
public:
    explicit TForm8(TForm1* form1);

    void fillDeviceList();
    // List position of a device name: 0 for the default device (or ""), -1 when not listed.
    int findDeviceIndex(const std::string& name) const;
    // WaveInName to WaveInIndex (falling back to the default device) and open capture.
    bool selectInputDevice();

    void Button1Click();  // "OK"
    void Button2Click();  // "Cansel"
    void Button3Click();  // the desktop's sound settings

    QGroupBox* GroupBox1 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;
    // Whether the volume control (pavucontrol) was found when the dialog was built.
    bool VolumeControlFound = false;

protected:
    void showEvent(QShowEvent* event) override;

private:
    TForm1* form1_;
};

}  // namespace sondeco
