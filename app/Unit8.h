// SPDX-License-Identifier: GPL-3.0-or-later
// TForm8: the modal input-device dialog. Its construction fills the device list, resolves the saved
// device name and opens capture; "OK" on another device restarts capture on it.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QComboBox;
class QGroupBox;
class QPushButton;

namespace sondeco {

class MainWindowLink;

class TForm8 final : public QDialog {
public:
    // Owned by `owner`, the capture device through `link`. Building it fills the device list and
    // opens capture on the device chosen.
    TForm8(QWidget* owner, MainWindowLink& link);
    // Where it is centred when shown (the settings window that opens it), the notice shown while
    // capture restarts, and who is told the name of a device newly chosen.
    void setPlacedOver(const QWidget* window) { placedOver_ = window; }
    void setNotice(QWidget* notice) { notice_ = notice; }
    void setDeviceChosenHandler(std::function<void(const std::string&)> handler) { deviceChosen_ = std::move(handler); }

    void fillDeviceList();
    // List position of a device name: 0 for the default device (or ""), -1 when not listed.
    int findDeviceIndex(const std::string& name) const;
    // The chosen device's name to its list position (falling back to the default device) and open
    // capture.
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
    MainWindowLink& link_;
    const QWidget* placedOver_ = nullptr;
    QWidget* notice_ = nullptr;
    std::function<void(const std::string&)> deviceChosen_;
};

}  // namespace sondeco
