// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Unit9.h"

#include "app/fonts.h"
#include "app/window_placement.h"

#include <QLabel>

namespace sondeco {

TForm9::TForm9(QWidget* owner, QWidget* centreOn) : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint), centreOn_(centreOn) {
    setFont(tahomaFont(11));
    setFixedSize(236, 41);
    Panel1 = new QLabel(QStringLiteral("Restart input device..."), this);
    Panel1->setGeometry(0, 0, 236, 41);
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
}

void TForm9::showEvent(QShowEvent* event) {
    placeOver(this, centreOn_, false);
    QDialog::showEvent(event);
}

}  // namespace sondeco
