// SPDX-License-Identifier: GPL-3.0-or-later
#include "present/presentation.h"

namespace sondeco {

const PresentationEntry* findPresentation(int messageType) {
    for (const PresentationEntry& entry : Presentations)
        if (entry.messageType == messageType) return &entry;
    return nullptr;
}

}  // namespace sondeco
