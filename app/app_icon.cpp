// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace sondeco {

QIcon sondecoIcon() {
    // Drawn here rather than left to Qt's SVG icon plugin, which a minimal system may not have.
    QSvgRenderer renderer(QStringLiteral(":/icons/sondeco.svg"));
    QIcon icon;
    if (!renderer.isValid()) return icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace sondeco
