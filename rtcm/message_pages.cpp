#include "rtcm/message_pages.h"

#include <cstdio>

namespace sondeco {
namespace {

constexpr std::array<const char*, PageCount> Titles{
    "Msg #1 : Differential GPS Corrections\r\n",
    "Msg #3 : GPS Reference Station Parameters\r\n",
    "Msg #5 : GPS Constellation Health\r\n",
    "Msg #7 : DGPS Radiobeacon Almanac\r\n",
    "Msg #9 : GPS Partial Correction Set\r\n",
    "Msg #16 : GPS Special Message\r\n\r\n",
    "Msg #31 : Differential GLONASS Corrections\r\n",
    "Msg #32 : Differential GLONASS Reference Station Parameters\r\n",
    "Msg #33 : GLONASS Constellation Health\r\n",
    "Msg #34 : GLONASS Partial Differential Correction Set\r\n",
    "Msg #35 : GLONASS Radiobeacon Almanac\r\n",
};

}  // namespace

int pageOfType(int messageType) {
    for (int k = 0; k < PageCount; ++k)
        if (PageTypes[static_cast<std::size_t>(k)] == messageType) return k;
    return -1;
}

std::string padCell(std::string_view text, int n) {
    std::string cell(text);
    const std::size_t width = static_cast<std::size_t>(8 * n + 7);
    if (cell.size() < width) cell.append(width - cell.size(), ' ');
    cell += '\t';
    return cell;
}

std::tm currentLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

MessagePages::MessagePages(DecoderView& view, LocalTimeSource clock) : view_(view), clock_(std::move(clock)) {
    for (int k = 0; k < PageCount; ++k) {
        PageTitles[static_cast<std::size_t>(k)] = Titles[static_cast<std::size_t>(k)];
        PageTexts[static_cast<std::size_t>(k)] = PageTitles[static_cast<std::size_t>(k)];
    }
}

std::string MessagePages::pageFooter(int page) const {
    const std::tm now = clock_();
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", now.tm_hour, now.tm_min, now.tm_sec);
    return std::string(page == SpecialMessagePage ? "\r\n" : "\r\n\r\n") + "Last up date at " + time;
}

void MessagePages::publishPage(int page, std::string text) {
    if (page < 0 || page >= PageCount) return;
    const auto k = static_cast<std::size_t>(page);
    text += pageFooter(page);
    PageTexts[k] = std::move(text);
    if (view_.selectedPage() == page) showCurrentPage();
    if (!NewDataMarks[k]) {
        NewDataMarks[k] = true;
        rebuildTabCaptions();
    }
    view_.pagePublished(page, PageTexts[k]);
}

void MessagePages::showCurrentPage() {
    const int page = view_.selectedPage();
    if (page >= 0 && page < PageCount) view_.showPageText(PageTexts[static_cast<std::size_t>(page)]);
}

void MessagePages::rebuildTabCaptions() {
    std::array<std::string, PageCount> captions;
    for (std::size_t k = 0; k < captions.size(); ++k)
        captions[k] = "Msg #" + std::to_string(PageTypes[k]) + (NewDataMarks[k] ? "*" : "");
    view_.setTabCaptions(captions);
}

void MessagePages::clearAllMessages() {
    for (auto& system : CorrectionLines) system.fill(std::string());
    for (auto& system : CorrectionAge) system.fill(0);
    SpecialMessageLines.fill(std::string());
    PageTexts = PageTitles;
    showCurrentPage();
    NewDataMarks.fill(false);
    rebuildTabCaptions();
}

void MessagePages::clearSelectedPage() {
    const int page = view_.selectedPage();
    if (page < 0 || page >= PageCount) return;
    const auto k = static_cast<std::size_t>(page);
    PageTexts[k] = PageTitles[k];
    showCurrentPage();
    // Types 1 and 9 share the GPS table and 31 and 34 the GLONASS one: clearing either page empties
    // the table both are built from.
    const int type = PageTypes[k];
    if (type == 1 || type == 9) {
        CorrectionLines[GpsCorrections].fill(std::string());
        CorrectionAge[GpsCorrections].fill(0);
    } else if (type == 31 || type == 34) {
        CorrectionLines[GlonassCorrections].fill(std::string());
        CorrectionAge[GlonassCorrections].fill(0);
    } else if (type == 16) {
        SpecialMessageLines.fill(std::string());
    }
    NewDataMarks[k] = false;
    rebuildTabCaptions();
}

}  // namespace sondeco
