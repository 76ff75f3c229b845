// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window_placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace sondeco {

QPoint centredOn(const QRect& parent, const QSize& size) {
    return {parent.left() + parent.width() / 2 - size.width() / 2, parent.top() + parent.height() / 2 - size.height() / 2};
}

QPoint keptOnDesktop(QPoint topLeft, const QSize& size, const QRect& desktop) {
    if (topLeft.y() < desktop.top()) topLeft.setY(desktop.top());
    if (topLeft.y() + size.height() > desktop.top() + desktop.height()) topLeft.setY(desktop.top() + desktop.height() - size.height());
    if (topLeft.x() < desktop.left()) topLeft.setX(desktop.left());
    if (topLeft.x() + size.width() > desktop.left() + desktop.width()) topLeft.setX(desktop.left() + desktop.width() - size.width());
    return topLeft;
}

QRect virtualDesktop() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->virtualGeometry() : QRect(0, 0, 1024, 768);
}

void placeOver(QWidget* window, const QWidget* parent, bool keepOnDesktop) {
    if (window == nullptr || parent == nullptr) return;
    const QSize size = window->frameGeometry().size();
    QPoint topLeft = centredOn(parent->frameGeometry(), size);
    if (keepOnDesktop) topLeft = keptOnDesktop(topLeft, size, virtualDesktop());
    window->move(topLeft);
}

void showOrBringForward(QWidget* window) {
    if (!window->isVisible()) {
        window->show();
        return;
    }
    if (window->isMinimized()) window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->raise();
    window->activateWindow();
}

}  // namespace sondeco
