// SPDX-License-Identifier: GPL-3.0-or-later
#include "present/message_pages.h"

#include <cstdio>

namespace sondeco {

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

MessagePages::MessagePages(LocalTimeSource clock, PageView* view) : clock_(std::move(clock)), view_(view) {
    for (int k = 0; k < PageCount; ++k) {
        PageTitles[static_cast<std::size_t>(k)] = findPresentation(PageTypes[static_cast<std::size_t>(k)])->title;
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
    if (selectedPage() == page) showCurrentPage();
    if (!NewDataMarks[k]) {
        NewDataMarks[k] = true;
        rebuildTabCaptions();
    }
    for (PageListener* listener : listeners_) listener->pagePublished(page, PageTexts[k]);
}

void MessagePages::showCurrentPage() {
    const int page = selectedPage();
    if (page >= 0 && page < PageCount) view_->showPageText(PageTexts[static_cast<std::size_t>(page)]);
}

void MessagePages::rebuildTabCaptions() {
    if (view_ == nullptr) return;
    std::array<std::string, PageCount> captions;
    for (std::size_t k = 0; k < captions.size(); ++k) captions[k] = "Msg #" + std::to_string(PageTypes[k]) + (NewDataMarks[k] ? "*" : "");
    view_->setTabCaptions(captions);
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
    const int page = selectedPage();
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

void MessagePages::stationChanged(const RtcmFrame&) {
    // A new station's data must not mix with the old one's.
    clearAllMessages();
}

void MessagePages::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    // "Not Working": shown in the status bar, never decoded into a page.
    if (frame.stationHealth < 7) decodeMessage(frame, message, *this);
}

void decodeMessage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages) {
    const PresentationEntry* entry = findPresentation(frame.messageType);
    if (entry != nullptr && entry->buildPage != nullptr) entry->buildPage(frame, message, pages);
}

}  // namespace sondeco
