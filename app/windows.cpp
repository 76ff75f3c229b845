// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/windows.h"

#include "app/Unit2.h"
#include "app/Unit3.h"
#include "app/Unit8.h"
#include "app/Unit9.h"

namespace sondeco {

std::unique_ptr<TForm1> createWindows(AppEnvironment environment) {
    auto form1 = std::make_unique<TForm1>(std::move(environment));
    form1->Form2 = new TForm2(form1.get());
    form1->Form8 = new TForm8(form1.get());
    form1->Form9 = new TForm9(form1.get(), form1->Form8);
    form1->Form3 = new TForm3(form1.get());
    return form1;
}

}  // namespace sondeco
