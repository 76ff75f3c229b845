// SPDX-License-Identifier: GPL-3.0-or-later
// Page texts are bytes with "\r\n" line ends, but some decoders emit a lone CR and a special message
// may hold any byte. Everything that shows a page treats CR LF, a lone CR and a lone LF each as one
// line end.
#pragma once

#include <string>
#include <string_view>

namespace sondeco {

// The page with every line end as a single "\n".
std::string normaliseLineEnds(std::string_view page);

}  // namespace sondeco
