// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Unit8.h"

#include "app/fonts.h"
#include "app/main_window_link.h"
#include "app/settings_fields.h"
#include "app/window_placement.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QThread>

namespace sondeco {
namespace {

// The desktop's input-volume tools, best first: pavucontrol, the volume control proper, opens straight
// on its input tab; the others are the desktops' sound settings.
struct SoundSettingsProgram {
    const char* program;
    QStringList arguments;
};

const std::array<SoundSettingsProgram, 4>& soundSettingsPrograms() {
    static const std::array<SoundSettingsProgram, 4> programs{{
        {"pavucontrol", {QStringLiteral("--tab=4")}},
        {"pavucontrol-qt", {}},
        {"gnome-control-center", {QStringLiteral("sound")}},
        {"systemsettings", {QStringLiteral("kcm_pulseaudio")}},
    }};
    return programs;
}

// "pavucontrol, pavucontrol-qt, gnome-control-center and systemsettings"
QString soundSettingsProgramNames() {
    QStringList names;
    for (const SoundSettingsProgram& candidate : soundSettingsPrograms()) names << QString::fromLatin1(candidate.program);
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

}  // namespace

TForm8::TForm8(QWidget* owner, MainWindowLink& link) : QDialog(owner), link_(link) {
    setWindowTitle(QString::fromUtf8("入力デバイスの設定"));
    setFont(tahomaFont(11));
    setFixedSize(331, 102);
    setModal(true);

    GroupBox1 = new QGroupBox(QStringLiteral("Wave input device"), this);
    GroupBox1->setGeometry(8, 8, 313, 57);
    ComboBox1 = new QComboBox(GroupBox1);  // a drop-down list: no free text
    ComboBox1->setGeometry(8, 24, 297, 21);
    Button3 = new QPushButton(QStringLiteral("Sound settings of Windows"), this);
    Button3->setGeometry(8, 73, 146, 25);
    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setGeometry(160, 73, 78, 25);
    Button1->setDefault(true);
    Button2 = new QPushButton(QStringLiteral("Cansel"), this);
    Button2->setGeometry(244, 73, 77, 25);

    connect(Button1, &QPushButton::clicked, this, &TForm8::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm8::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TForm8::Button3Click);

    fillDeviceList();
    VolumeControlFound = !QStandardPaths::findExecutable(QString::fromLatin1(soundSettingsPrograms()[0].program)).isEmpty();
    selectInputDevice();
}

void TForm8::fillDeviceList() {
    ComboBox1->addItem(QString::fromLatin1(DefaultInputDeviceName));
    for (const std::string& name : link_.inputDeviceNames()) ComboBox1->addItem(QString::fromStdString(name));
}

int TForm8::findDeviceIndex(const std::string& name) const {
    if (name.empty() || name == DefaultInputDeviceName) return 0;
    const QString wanted = QString::fromStdString(name);
    for (int i = 0; i < ComboBox1->count(); ++i)
        if (ComboBox1->itemText(i) == wanted) return i;  // exact and case-sensitive; the first match wins
    return -1;
}

bool TForm8::selectInputDevice() {
    const int index = findDeviceIndex(link_.inputDeviceName());
    if (index < 0) {
        link_.chooseInputDevice(0, DefaultInputDeviceName);
        link_.showMessage(MessageKind::Information, QStringLiteral("Open default input device."));
    } else {
        link_.chooseInputDevice(index, link_.inputDeviceName());
    }
    ComboBox1->setCurrentIndex(link_.inputDeviceIndex());
    return link_.openCaptureDevice();
}

void TForm8::showEvent(QShowEvent* event) {
    placeOver(this, placedOver_, false);
    ComboBox1->setCurrentIndex(link_.inputDeviceIndex());
    QDialog::showEvent(event);
}

void TForm8::Button1Click() {
    const int selected = ComboBox1->currentIndex();
    // The same device again changes nothing while it records; but a device that went away and came
    // back is chosen again exactly so that capture restarts on it.
    if (selected == link_.inputDeviceIndex() && link_.captureRunning()) {
        accept();
        return;
    }
    if (notice_ != nullptr) notice_->show();
    QApplication::processEvents();  // paint the notice before the pause
    link_.closeCaptureDevice();
    // Give the sound system a moment to let go of the old device before the new one is opened.
    QThread::msleep(static_cast<unsigned long>(link_.restartPause().count()));
    link_.chooseInputDevice(selected, selected == 0 ? std::string(DefaultInputDeviceName) : ComboBox1->itemText(selected).toStdString());
    selectInputDevice();
    if (notice_ != nullptr) notice_->close();
    if (deviceChosen_) deviceChosen_(link_.inputDeviceName());
    QApplication::processEvents();
    accept();
}

void TForm8::Button2Click() { reject(); }

void TForm8::Button3Click() {
    // The volume control when it was there as the dialog was built, else the first of the desktops'
    // sound settings; each looked up again, in case it has gone since.
    const auto& programs = soundSettingsPrograms();
    for (std::size_t i = VolumeControlFound ? 0 : 1; i < programs.size(); ++i) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(programs[i].program));
        if (!path.isEmpty()) {
            link_.startProgram(path, programs[i].arguments);
            return;
        }
    }
    // A button that silently does nothing leaves the user guessing; say what was looked for.
    link_.showMessage(MessageKind::Information,
                      QStringLiteral("No sound settings program was found. Sondeco looks for %1.").arg(soundSettingsProgramNames()));
}

}  // namespace sondeco
