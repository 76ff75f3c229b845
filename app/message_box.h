// SPDX-License-Identifier: GPL-3.0-or-later
// The one way the program tells the user about a failure: the exclamation beep, then a box with one
// OK button. Tests replace it with a recorder so that no modal box ever blocks them.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace sondeco {

enum class MessageKind { Error, Information };

using MessageBoxFunction = std::function<void(MessageKind kind, const QString& text)>;

// Beep, then a modal QMessageBox over `parent`.
void showSystemMessageBox(QWidget* parent, MessageKind kind, const QString& text);

}  // namespace sondeco
