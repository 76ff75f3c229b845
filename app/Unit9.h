// SPDX-License-Identifier: GPL-3.0-or-later
// TForm9: the borderless "Restart input device..." notice shown while capture restarts.
#pragma once

#include <QDialog>

class QLabel;

namespace sondeco {

class TForm9 final : public QDialog {
public:
    explicit TForm9(QWidget* owner, QWidget* centreOn);
    QLabel* Panel1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* centreOn_;
};

}  // namespace sondeco
