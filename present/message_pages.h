// SPDX-License-Identifier: GPL-3.0-or-later
// The eleven message pages: their titles and texts, the new-data marks on their tabs, the footer every
// page ends with, and the stores that outlive one frame (correction tables, special-message history).
// The pages listen to the decoder: a new station empties them, a decoded frame updates its page.
#pragma once

#include "present/page_listener.h"
#include "present/presentation.h"
#include "rtcm/decoder_listener.h"

#include <array>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

inline constexpr int SatelliteSlots = 32;
inline constexpr int SpecialMessageHistory = 12;

enum CorrectionSystem { GpsCorrections = 0, GlonassCorrections = 1 };

// `text` padded with spaces to 7 (n = 0) or 15 (n = 1) characters, then a tab. Never cut.
std::string padCell(std::string_view text, int n);

// Local wall-clock time for the page footers; the tests set their own.
using LocalTimeSource = std::function<std::tm()>;
std::tm currentLocalTime();

// What only a window that shows the pages has: tabs with captions, one of them selected, and a text box.
class PageView {
public:
    virtual ~PageView() = default;
    virtual int selectedPage() const = 0;
    // Replaces the whole text shown for the selected page (bytes; CR LF, CR and LF each end a line).
    virtual void showPageText(const std::string& text) = 0;
    // Replaces all tab captions; the selected tab stays selected.
    virtual void setTabCaptions(const std::array<std::string, PageCount>& captions) = 0;
};

class MessagePages final : public DecoderListener {
public:
    // Every page at its title. `view` is the window showing them, or nullptr where nothing is shown;
    // it is not touched here (the window sets its captions and selected page in its own order).
    explicit MessagePages(LocalTimeSource clock = currentLocalTime, PageView* view = nullptr);

    // Hears of every page published (the headless decoder's page output).
    void addListener(PageListener& listener) { listeners_.push_back(&listener); }

    std::array<std::string, PageCount> PageTitles;
    std::array<std::string, PageCount> PageTexts;
    std::array<bool, PageCount> NewDataMarks{};

    // Stores of the correction pages (one per system) and of the type 16 page.
    std::array<std::array<std::string, SatelliteSlots>, 2> CorrectionLines;
    std::array<std::array<int, SatelliteSlots>, 2> CorrectionAge{};
    std::array<std::string, SpecialMessageHistory> SpecialMessageLines;

    // "\r\n\r\nLast up date at HH:MM:SS" ("\r\nLast up..." for the type 16 page).
    std::string pageFooter(int page) const;
    // Appends the footer, stores the text, shows it if its tab is selected and marks the tab.
    void publishPage(int page, std::string text);
    void showCurrentPage();
    void rebuildTabCaptions();
    // Empties every page, store and mark: at start-up and when the reference station changes.
    void clearAllMessages();
    // "Msg Clear" on the selected page: that page back to its title, and the stores it shows emptied.
    void clearSelectedPage();

    // DecoderListener: a new station clears everything; a decoded frame (unless its station is "not
    // working") goes to its type's page builder.
    void stationChanged(const RtcmFrame& frame) override;
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;

private:
    int selectedPage() const { return view_ != nullptr ? view_->selectedPage() : -1; }

    LocalTimeSource clock_;
    PageView* view_;
    std::vector<PageListener*> listeners_;
};

// Builds the page of the frame's message type from its record; types without a page change nothing.
void decodeMessage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);

}  // namespace sondeco
