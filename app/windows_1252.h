// SPDX-License-Identifier: GPL-3.0-or-later
// Page text to the text box. The pages hold the stations' bytes as they came (the special message is
// free text, one byte a character); the box shows them as the single-byte Windows code page does, so
// 0x80..0x9F are the printable characters of that page (€, „, …) rather than invisible control codes.
#pragma once

#include <QString>

#include <string_view>

namespace sondeco {

// Each byte as its Windows-1252 character; the five codes that page leaves undefined (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) become U+FFFD, the replacement character, so that they show as something.
QString windows1252ToString(std::string_view bytes);

}  // namespace sondeco
