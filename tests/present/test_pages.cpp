// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/recording_view.h"

#include <gtest/gtest.h>

namespace sondeco::testing {
namespace {

std::vector<std::uint32_t> oneSatellite(int id, double prc = 1.0) {
    PseudorangeCorrection correction;
    correction.satelliteId = id;
    correction.pseudorangeCorrection = prc;
    correction.rangeRateCorrection = 0.0;
    return buildGpsCorrectionWords(std::vector<PseudorangeCorrection>{correction});
}

TEST(MessagePages, StartUpShowsTitlesAndUnmarkedCaptions) {
    DecoderBench bench;
    for (int k = 0; k < PageCount; ++k) {
        EXPECT_EQ(bench.page(k), bench.pages.PageTitles[static_cast<std::size_t>(k)]);
        EXPECT_EQ(bench.view.captions[static_cast<std::size_t>(k)], "Msg #" + std::to_string(PageTypes[static_cast<std::size_t>(k)]));
    }
    EXPECT_EQ(bench.view.shown, "Msg #9 : GPS Partial Correction Set\r\n");
}

TEST(MessagePages, TheFirstMessageMarksItsTabAndLaterOnesDoNotRebuildCaptions) {
    DecoderBench bench;
    const int rebuilds = bench.view.captionRebuilds;
    bench.send(DecoderBench::header(1), oneSatellite(5));
    EXPECT_EQ(bench.view.captions[0], "Msg #1*");
    EXPECT_EQ(bench.view.captionRebuilds, rebuilds + 1);
    EXPECT_EQ(bench.view.shown, "Msg #9 : GPS Partial Correction Set\r\n");  // page 0 is not the one shown

    const std::string first = bench.page(0);
    bench.send(DecoderBench::header(1, 268, 0, 1300), oneSatellite(5, 2.0));
    EXPECT_NE(bench.page(0), first);
    EXPECT_EQ(bench.view.captionRebuilds, rebuilds + 1);

    // Showing the page does not clear its mark.
    bench.view.selected = 0;
    bench.pages.showCurrentPage();
    EXPECT_EQ(bench.view.shown, bench.page(0));
    EXPECT_TRUE(bench.pages.NewDataMarks[0]);

    // A message for the page on show replaces the text at once.
    bench.send(DecoderBench::header(1, 268, 0, 1400), oneSatellite(7));
    EXPECT_EQ(bench.view.shown, bench.page(0));
}

TEST(MessagePages, MsgClearOnOnePageEmptiesTheStoreItSharesButNotTheOtherPagesText) {
    DecoderBench bench;
    bench.send(DecoderBench::header(1), oneSatellite(5));
    bench.send(DecoderBench::header(9), oneSatellite(12));
    const std::string gpsPage = bench.page(0);

    bench.view.selected = 4;  // "Msg #9"
    bench.pages.clearSelectedPage();
    EXPECT_EQ(bench.page(4), "Msg #9 : GPS Partial Correction Set\r\n");
    EXPECT_EQ(bench.view.shown, bench.page(4));
    EXPECT_FALSE(bench.pages.NewDataMarks[4]);
    EXPECT_EQ(bench.view.captions[4], "Msg #9");
    EXPECT_EQ(bench.page(0), gpsPage);  // until its next message
    EXPECT_TRUE(bench.pages.NewDataMarks[0]);

    bench.send(DecoderBench::header(1), oneSatellite(20));
    EXPECT_EQ(bench.page(0).find("\r\n05 "), std::string::npos);
    EXPECT_EQ(bench.page(0).find("\r\n12 "), std::string::npos);
    EXPECT_NE(bench.page(0).find("\r\n20 "), std::string::npos);
}

TEST(MessagePages, MsgClearTouchesOnlyTheStoresOfItsOwnPage) {
    DecoderBench bench;
    PseudorangeCorrection glonass;
    glonass.satelliteId = 3;
    glonass.pseudorangeCorrection = 1.0;
    glonass.rangeRateCorrection = 0.0;
    bench.send(DecoderBench::header(31), buildGlonassCorrectionWords(std::vector<PseudorangeCorrection>{glonass}));
    bench.send(DecoderBench::header(16), buildSpecialMessageWords("HELLO"));
    bench.send(DecoderBench::header(3), buildReferenceStationWords({-2694685.0, -4293642.0, 3857878.0}));
    bench.send(DecoderBench::header(1), oneSatellite(5));

    bench.view.selected = 1;  // "Msg #3": no store
    bench.pages.clearSelectedPage();
    EXPECT_EQ(bench.page(1), bench.pages.PageTitles[1]);
    EXPECT_FALSE(bench.pages.CorrectionLines[GlonassCorrections][2].empty());
    EXPECT_FALSE(bench.pages.CorrectionLines[GpsCorrections][4].empty());
    EXPECT_EQ(bench.pages.SpecialMessageLines[0], "HELLO");

    bench.view.selected = 9;  // "Msg #34" shares the GLONASS store with 31
    bench.pages.clearSelectedPage();
    EXPECT_TRUE(bench.pages.CorrectionLines[GlonassCorrections][2].empty());
    EXPECT_FALSE(bench.pages.CorrectionLines[GpsCorrections][4].empty());

    bench.view.selected = 5;  // "Msg #16"
    bench.pages.clearSelectedPage();
    EXPECT_EQ(bench.pages.SpecialMessageLines[0], "");
    EXPECT_EQ(bench.page(5), "Msg #16 : GPS Special Message\r\n\r\n");
}

TEST(MessagePages, TypesWithoutAPageChangeNoPage) {
    DecoderBench bench;
    bench.send(DecoderBench::header(2), {0x123456, 0x654321});
    bench.send(DecoderBench::header(6), {});
    EXPECT_EQ(bench.view.completedFrames.size(), 2u);
    EXPECT_TRUE(bench.view.publishedPages.empty());
}

TEST(MessagePages, CellsArePaddedToTheTabStopsAndNeverCut) {
    EXPECT_EQ(padCell("05", 0), "05     \t");
    EXPECT_EQ(padCell("+12.34 m", 1), "+12.34 m       \t");
    EXPECT_EQ(padCell("123456789012345", 1), "123456789012345\t");
    EXPECT_EQ(padCell("1234567890123456", 1), "1234567890123456\t");
}

}  // namespace
}  // namespace sondeco::testing
