// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/fonts.h"

#include <QFile>
#include <QFontDatabase>

namespace sondeco {

void registerTahoma() {
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma"))) return;
    for (const char* path : {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"})
        if (QFile::exists(QString::fromLatin1(path))) QFontDatabase::addApplicationFont(QString::fromLatin1(path));
}

QFont tahomaFont(int pixelHeight) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixelHeight);
    return font;
}

}  // namespace sondeco
