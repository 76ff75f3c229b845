// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Unit3.h"

#include "app/fonts.h"
#include "app/window_placement.h"

#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QShowEvent>

namespace sondeco {

TForm3::TForm3(QWidget* mainWindow) : QWidget(mainWindow, Qt::Tool | Qt::WindowStaysOnTopHint), mainWindow_(mainWindow) {
    setWindowTitle(QStringLiteral("Eye pattern"));
    setFont(tahomaFont(11));
    setFixedSize(194, 152);
    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setGeometry(0, 0, 194, 152);
    Image1 = new QLabel(Panel1);
    Image1->setGeometry(1, 1, 192, 150);
}

void TForm3::showBitmap(const QImage& bitmap) { Image1->setPixmap(QPixmap::fromImage(bitmap)); }

void TForm3::showOrRaise() { showOrBringForward(this); }

void TForm3::showEvent(QShowEvent* event) {
    // Centred when it opens, not when the window system shows it again after a minimise.
    if (!event->spontaneous()) placeOver(this, mainWindow_, true);
    QWidget::showEvent(event);
}

}  // namespace sondeco
