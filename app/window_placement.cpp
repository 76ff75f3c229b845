// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window_placement.h"

#include <QGuiApplication>
#include <QList>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <limits>

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

QRect placedOnScreens(long long left, long long top, long long width, long long height, const QSize& minimum) {
    // Far beyond any screen, and small enough that QRect's arithmetic cannot overflow.
    constexpr long long Far = 1 << 24;
    const auto bounded = [](long long value, long long low, long long high) { return static_cast<int>(std::clamp(value, low, high)); };
    const QRect wanted(bounded(left, -Far, Far), bounded(top, -Far, Far), bounded(width, 1, Far), bounded(height, 1, Far));
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty()) return wanted;
    const QScreen* chosen = nullptr;
    long long bestOverlap = 0;
    long long nearest = std::numeric_limits<long long>::max();
    for (const QScreen* screen : screens) {
        const QRect area = screen->availableGeometry();
        const QRect overlap = area.intersected(wanted);
        const long long covered = overlap.isEmpty() ? 0 : static_cast<long long>(overlap.width()) * overlap.height();
        const QPoint apart = area.center() - wanted.center();
        const long long distance = static_cast<long long>(apart.x()) * apart.x() + static_cast<long long>(apart.y()) * apart.y();
        if (covered > bestOverlap || (bestOverlap == 0 && covered == 0 && distance < nearest)) chosen = screen;
        bestOverlap = std::max(bestOverlap, covered);
        if (covered == 0) nearest = std::min(nearest, distance);
    }
    const QRect area = chosen->availableGeometry();
    const QSize size(std::max(minimum.width(), std::min(wanted.width(), area.width())),
                     std::max(minimum.height(), std::min(wanted.height(), area.height())));
    return {keptOnDesktop(wanted.topLeft(), size, area), size};
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
