// SPDX-License-Identifier: GPL-3.0-or-later
// What the settings window and the input-device window may ask of the main window: the receiver's
// tuning, which receiver decodes, and the capture device. The main window hands them this and
// nothing else, so that they know none of its fields or widgets, and no window of app/ includes the
// main window's header but the code that builds the windows.
#pragma once

#include "app/message_box.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <string>
#include <vector>

namespace sondeco {

class MainWindowLink {
public:
    virtual ~MainWindowLink() = default;

    // The receiver: the classic demodulator's centre frequency (10 Hz units) and rate, and whether
    // the enhanced receiver decodes. Each setter applies the setting at once.
    virtual int centreFrequencyPosition() const = 0;
    virtual void setCentreFrequencyPosition(int position) = 0;
    virtual bool fastBitRate() const = 0;  // 200 bit/s rather than 100
    virtual void setFastBitRate(bool fast) = 0;
    virtual bool enhancedReceiver() const = 0;
    virtual void setEnhancedReceiver(bool enhanced) = 0;

    // The capture device: the audio system's input devices, the one chosen (its list position, 0 for
    // the default device, and its name), choosing one, and opening and closing capture on it.
    virtual std::vector<std::string> inputDeviceNames() const = 0;
    virtual int inputDeviceIndex() const = 0;
    virtual const std::string& inputDeviceName() const = 0;
    virtual void chooseInputDevice(int index, const std::string& name) = 0;
    virtual bool openCaptureDevice() = 0;
    virtual bool closeCaptureDevice() = 0;
    virtual bool captureRunning() const = 0;
    // How long capture rests between closing one device and opening the next.
    virtual std::chrono::milliseconds restartPause() const = 0;

    virtual void showMessage(MessageKind kind, const QString& text) const = 0;
    // Starts a desktop program without waiting for it (the sound settings tool).
    virtual void startProgram(const QString& program, const QStringList& arguments) const = 0;
};

}  // namespace sondeco
