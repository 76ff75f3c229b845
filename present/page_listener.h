// SPDX-License-Identifier: GPL-3.0-or-later
// Who hears of every page the message pages publish: the headless decoder's page output, the TCP
// clients that asked for pages, the band monitor's per-station page blocks.
#pragma once

#include <string>

namespace sondeco {

class PageListener {
public:
    virtual ~PageListener() = default;
    // A message page got new text (footer included).
    virtual void pagePublished(int page, const std::string& text) = 0;
};

}  // namespace sondeco
