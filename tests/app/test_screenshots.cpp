// Pictures of the windows for a person to look at: written to screenshots/ in the build directory.
// They check only that drawing works; what they show is judged by eye.
#include "app_fixture.h"

#include "Unit2.h"
#include "Unit3.h"
#include "Unit8.h"

#include <QDir>
#include <QPixmap>
#include "page_tabs.h"

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
    for (int k = 0; k < PageCount; ++k) form1->decoder().pages().publishPage(k, "");
    form1->TabControl1Tabs->setCurrentIndex(0);
    form1->resize(660, 300);
    processEvents();
    for (int k = 0; k < PageCount; ++k)
        EXPECT_TRUE(form1->TabControl1Tabs->rect().contains(form1->TabControl1Tabs->tabRect(k))) << k;
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

}  // namespace
}  // namespace sondeco::testing
