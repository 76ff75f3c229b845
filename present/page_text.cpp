// SPDX-License-Identifier: GPL-3.0-or-later
#include "present/page_text.h"

namespace sondeco {

std::string normaliseLineEnds(std::string_view page) {
    std::string lines;
    lines.reserve(page.size());
    for (std::size_t i = 0; i < page.size(); ++i) {
        if (page[i] == '\r') {
            lines += '\n';
            if (i + 1 < page.size() && page[i + 1] == '\n') ++i;
        } else {
            lines += page[i];
        }
    }
    return lines;
}

}  // namespace sondeco
