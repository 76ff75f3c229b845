// What the decoder needs from whoever shows its results: the main window's status bar, text box and
// tabs, or the headless decoder's output. The decoder never touches a widget itself.
#pragma once

#include "rtcm/rtcm_frame.h"

#include <array>
#include <string>

namespace sondeco {

inline constexpr int StatusPanelCount = 6;
inline constexpr int PageCount = 11;

class DecoderView {
public:
    virtual ~DecoderView() = default;

    virtual void setStatusText(int panel, const std::string& text) = 0;
    virtual int selectedPage() const = 0;
    // Replaces the whole text shown for the selected page (bytes; CR LF, CR and LF each end a line).
    virtual void showPageText(const std::string& text) = 0;
    // Replaces all tab captions; the selected tab stays selected.
    virtual void setTabCaptions(const std::array<std::string, PageCount>& captions) = 0;

    // Events for views that record the decoded stream; the windows need none of them.
    virtual void headerAccepted(const RtcmFrame&) {}
    virtual void frameCompleted(const RtcmFrame&) {}
    virtual void pagePublished(int /*page*/, const std::string& /*text*/) {}
};

}  // namespace sondeco
