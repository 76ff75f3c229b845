// SPDX-License-Identifier: GPL-3.0-or-later
// TForm3: the "Eye pattern" tool window. It stays on top, appears centred on the main window, and
// shows the eye-pattern bitmap the main window draws after every buffer while it is visible.
#pragma once

#include <QWidget>

class QFrame;
class QImage;
class QLabel;

namespace sondeco {

class TForm3 final : public QWidget {
public:
    explicit TForm3(QWidget* mainWindow);

    void showBitmap(const QImage& bitmap);
    // "Eye Pattern" on the tool bar: shows the window, or brings it forward when it is already open.
    void showOrRaise();

    QFrame* Panel1 = nullptr;
    QLabel* Image1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* mainWindow_;
};

}  // namespace sondeco
