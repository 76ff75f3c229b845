// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/message_box.h"

#include <QApplication>
#include <QMessageBox>

namespace sondeco {

void showSystemMessageBox(QWidget* parent, MessageKind kind, const QString& text) {
    QApplication::beep();
    if (kind == MessageKind::Error) {
        QMessageBox::critical(parent, QApplication::applicationName(), text, QMessageBox::Ok);
    } else {
        QMessageBox::information(parent, QApplication::applicationName(), text, QMessageBox::Ok);
    }
}

}  // namespace sondeco
