// The eleven message pages: their titles and texts, the new-data marks on their tabs, the footer every
// page ends with, and the stores that outlive one frame (correction tables, special-message history).
#pragma once

#include "rtcm/decoder_view.h"

#include <array>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace sondeco {

inline constexpr std::array<int, PageCount> PageTypes{1, 3, 5, 7, 9, 16, 31, 32, 33, 34, 35};
inline constexpr int SpecialMessagePage = 5;  // type 16: the one page with a single-break footer
inline constexpr int SatelliteSlots = 32;
inline constexpr int SpecialMessageHistory = 12;

enum CorrectionSystem { GpsCorrections = 0, GlonassCorrections = 1 };

// Page index of a message type, -1 for types without a page.
int pageOfType(int messageType);

// `text` padded with spaces to 7 (n = 0) or 15 (n = 1) characters, then a tab. Never cut.
std::string padCell(std::string_view text, int n);

// Local wall-clock time for the page footers; the tests set their own.
using LocalTimeSource = std::function<std::tm()>;
std::tm currentLocalTime();

class MessagePages {
public:
    MessagePages(DecoderView& view, LocalTimeSource clock = currentLocalTime);

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

private:
    DecoderView& view_;
    LocalTimeSource clock_;
};

}  // namespace sondeco
