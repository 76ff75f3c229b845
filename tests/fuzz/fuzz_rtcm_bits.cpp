// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: any bits straight into RtcmDecoder::pushBit, as the demodulator hands them over,
// mixed with what the user does to the pages meanwhile: switching tabs (to no tab at all, too),
// "Msg Clear" on whichever page is selected, and a fresh decoder (as after a restart). Beyond never crashing, the view
// checks what the main window relies on:
// - the text on show is always the selected page's text;
// - the tab captions always carry exactly the pages' new-data marks;
// - every frame and page the decoder reports is within its fields' ranges and ends with its footer;
// - "Msg Clear" leaves the selected page at its title, unmarked, with the stores it shows emptied.
//
// Input: the last bytes choose the mode and the first selected page. In "one bit a byte" mode every
// byte below 0xF0 is a bit (its lowest) and 0xF0..0xFF are the user's actions; in "packed" mode every
// byte is eight bits, least significant first.

#include "output/status_panels.h"
#include "present/message_pages.h"
#include "rtcm/rtcm_decoder.h"
#include "tests/fuzz/frame_checks.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace sondeco;

const std::string Footer = "Last up date at 12:34:56";

class CheckingView final : public DecoderListener, public PageView, public PageListener {
public:
    int selected = -1;
    std::string shown;
    std::array<std::string, PageCount> captions{};
    std::uint64_t frames = 0;
    const MessagePages* pages = nullptr;  // for checks on publication, once the decoder exists

    void headerAccepted(const RtcmFrame& frame) override {
        for (const std::string& text : statusPanelTexts(frame)) FUZZ_CHECK(text.size() < 32);
    }
    int selectedPage() const override { return selected; }
    void showPageText(const std::string& text) override { shown = text; }
    void setTabCaptions(const std::array<std::string, PageCount>& newCaptions) override { captions = newCaptions; }
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage&) override {
        fuzzing::checkHeaderFields(frame);
        FUZZ_CHECK(frame.frameLocked);
        ++frames;
    }
    void pagePublished(int page, const std::string& text) override {
        FUZZ_CHECK(page >= 0 && page < PageCount);
        const auto k = static_cast<std::size_t>(page);
        FUZZ_CHECK(text.ends_with(Footer));
        FUZZ_CHECK(text.starts_with(pages->PageTitles[k]));
        FUZZ_CHECK(text == pages->PageTexts[k]);
        FUZZ_CHECK(pages->NewDataMarks[k]);
    }
};

// What the main window shows must follow the decoder's pages at every moment the user can look.
void checkView(const CheckingView& view, const MessagePages& pages) {
    if (view.selected >= 0 && view.selected < PageCount) FUZZ_CHECK(view.shown == pages.PageTexts[static_cast<std::size_t>(view.selected)]);
    for (std::size_t k = 0; k < PageTypes.size(); ++k)
        FUZZ_CHECK(view.captions[k] == "Msg #" + std::to_string(PageTypes[k]) + (pages.NewDataMarks[k] ? "*" : ""));
}

bool allEmpty(const auto& lines) {
    return std::all_of(lines.begin(), lines.end(), [](const std::string& line) { return line.empty(); });
}

void clearSelectedPage(CheckingView& view, MessagePages& pages) {
    pages.clearSelectedPage();
    if (view.selected < 0 || view.selected >= PageCount) return;
    const auto k = static_cast<std::size_t>(view.selected);
    FUZZ_CHECK(pages.PageTexts[k] == pages.PageTitles[k]);
    FUZZ_CHECK(!pages.NewDataMarks[k]);
    const int type = PageTypes[k];
    if (type == 1 || type == 9) FUZZ_CHECK(allEmpty(pages.CorrectionLines[GpsCorrections]));
    if (type == 31 || type == 34) FUZZ_CHECK(allEmpty(pages.CorrectionLines[GlonassCorrections]));
    if (type == 16) FUZZ_CHECK(allEmpty(pages.SpecialMessageLines));
}

// The decoder with the pages and the view listening, as the main window wires them.
std::unique_ptr<RtcmDecoder> wiredDecoder(CheckingView& view, MessagePages& pages) {
    auto decoder = std::make_unique<RtcmDecoder>();
    decoder->addListener(pages);
    decoder->addListener(view);
    return decoder;
}

void userAction(int action, CheckingView& view, std::unique_ptr<RtcmDecoder>& decoder, MessagePages& pages) {
    if (action <= PageCount + 1) {
        // A tab (0..10), no tab (11), or a page number the decoder has never heard of (12); the tab
        // widget shows the page it switches to.
        view.selected = action < PageCount ? action : action == PageCount ? -1 : PageCount + action;
        pages.showCurrentPage();
    } else if (action == 13) {
        clearSelectedPage(view, pages);
    } else if (action == 14) {
        decoder = wiredDecoder(view, pages);
        pages.clearAllMessages();
        FUZZ_CHECK(!decoder->frame().frameLocked);
        FUZZ_CHECK(decoder->statistics().bits == 0);
        view.frames = 0;
    } else {
        pages.clearAllMessages();
        FUZZ_CHECK(pages.PageTexts == pages.PageTitles);
    }
    checkView(view, pages);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool packed = input.ConsumeBool();
    CheckingView view;
    view.selected = input.ConsumeIntegralInRange<int>(-1, PageCount);
    const std::vector<std::uint8_t> stream = input.ConsumeRemainingBytes<std::uint8_t>();

    MessagePages pages(fixedClock, &view);
    view.pages = &pages;
    pages.addListener(view);
    auto decoder = wiredDecoder(view, pages);
    pages.rebuildTabCaptions();
    pages.clearAllMessages();
    checkView(view, pages);

    std::uint64_t bits = 0;
    for (const std::uint8_t byte : stream) {
        if (packed) {
            for (int i = 0; i < 8; ++i) decoder->pushBit(static_cast<std::uint8_t>(byte >> i & 1u));
            bits += 8;
        } else if (byte < 0xF0) {
            // The demodulator only ever gives 0 or 1; anything else must be read as its lowest bit.
            decoder->pushBit(static_cast<std::uint8_t>(byte & 0x81u));
            ++bits;
        } else {
            userAction(byte & 0x0F, view, decoder, pages);
            bits = decoder->statistics().bits;  // a reset starts the count again
        }
    }
    FUZZ_CHECK(decoder->statistics().bits == bits);
    FUZZ_CHECK(decoder->statistics().frames == view.frames);
    checkView(view, pages);

    // "Msg Clear" on every page in turn, then on no page: the window's button can be pressed anytime.
    for (int page = -1; page <= PageCount; ++page) {
        view.selected = page;
        pages.showCurrentPage();
        clearSelectedPage(view, pages);
        checkView(view, pages);
    }
    FUZZ_CHECK(std::none_of(pages.NewDataMarks.begin(), pages.NewDataMarks.end(), [](bool mark) { return mark; }));
    return 0;
}
