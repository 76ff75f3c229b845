// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/windows.h"

#include "app/Unit2.h"
#include "app/Unit3.h"
#include "app/Unit8.h"
#include "app/Unit9.h"

#include <QLabel>

namespace sondeco {

std::unique_ptr<TForm1> createWindows(AppEnvironment environment) {
    auto form1 = std::make_unique<TForm1>(std::move(environment));
    TForm1& main = *form1;
    auto* settings = new TForm2(&main, main.link());
    auto* device = new TForm8(&main, main.link());
    auto* notice = new TForm9(&main, device);
    settings->setDeviceWindow(device);
    device->setPlacedOver(settings);
    device->setNotice(notice);
    device->setDeviceChosenHandler([settings](const std::string& name) { settings->Label2->setText(QString::fromStdString(name)); });
    form1->Form2 = settings;
    form1->Form8 = device;
    form1->Form9 = notice;
    form1->Form3 = new TForm3(form1.get());
    return form1;
}

}  // namespace sondeco
