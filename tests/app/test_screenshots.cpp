// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of the windows for a person to look at: written to screenshots/ in the build directory.
// They check only that drawing works; what they show is judged by eye.
#include "tests/app/app_fixture.h"

#include "app/Unit2.h"
#include "app/Unit3.h"
#include "app/Unit8.h"
#include "tests/support/beacon_buffers.h"

#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include "app/page_tabs.h"

namespace sondeco::testing {
namespace {

using Screenshots = AppFixture;

void save(QWidget* widget, const QString& name) {
    QDir().mkpath(QStringLiteral("screenshots"));
    const QPixmap picture = widget->grab();
    EXPECT_FALSE(picture.isNull());
    EXPECT_TRUE(picture.save(QStringLiteral("screenshots/") + name)) << name.toStdString();
}

TEST_F(Screenshots, MainWindowAndDialogs) {
    audio.deviceNames = {"HDA Intel PCH: ALC256 Analog (hw:0,0)", "USB Audio Device: - (hw:1,0)"};
    start();
    form1->show();
    processEvents();
    save(form1.get(), QStringLiteral("main-window.png"));
    // All eleven tabs marked, at the narrowest the window can be: the tabs wrap onto a second row
    // and every caption still shows whole.
    for (int k = 0; k < PageCount; ++k) form1->pages().publishPage(k, "");
    form1->TabControl1Tabs->setCurrentIndex(0);
    form1->resize(660, 300);
    processEvents();
    for (int k = 0; k < PageCount; ++k) EXPECT_TRUE(form1->TabControl1Tabs->rect().contains(form1->TabControl1Tabs->tabRect(k))) << k;
    save(form1.get(), QStringLiteral("main-window-marked.png"));
    form1->Form2->show();
    processEvents();
    save(form1->Form2, QStringLiteral("settings.png"));
    form1->Form2->hide();
    form1->Form8->show();
    processEvents();
    save(form1->Form8, QStringLiteral("input-device.png"));
    form1->Form8->hide();
}

TEST_F(Screenshots, ToolBarAndEyePatternWhileABeaconIsDecoded) {
    start();
    form1->show();
    form1->SpeedButton1->click();  // "Eye Pattern"
    BeaconAudioSettings signal;
    signal.seconds = 6;
    signal.ebN0Db = 20;
    for (const auto& buffer : beaconBuffers(signal)) {
        audio.deliver(buffer);
        ASSERT_TRUE(waitFor([&, n = form1->processedBuffers()] { return form1->processedBuffers() == n + 1; }));
    }
    processEvents();
    EXPECT_TRUE(form1->lampIsGreen());
    save(form1->Panel3, QStringLiteral("tool-bar.png"));
    save(form1.get(), QStringLiteral("main-window-decoding.png"));
    save(form1->Form3, QStringLiteral("eye-pattern.png"));
    // The same pictures four times larger, for a closer look at single pixels.
    form1->IndicatorBitmap().scaled(85 * 4, 24 * 4).save(QStringLiteral("screenshots/indicator-x4.png"));
    form1->EyeBitmap().scaled(192 * 3, 150 * 3).save(QStringLiteral("screenshots/eye-pattern-x3.png"));
}

}  // namespace
}  // namespace sondeco::testing
