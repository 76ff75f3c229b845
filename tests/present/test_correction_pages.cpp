// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/recording_view.h"

#include "present/text_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace sondeco::testing {
namespace {

struct RawEntry {
    int scale = 0, udre = 0, id = 1, prc = 0, rrc = 0, iod = 0;
};

// Correction entries packed field by field, so the tests control every raw bit.
std::vector<std::uint32_t> entries(std::initializer_list<RawEntry> list) {
    DataWordPacker packer;
    for (const RawEntry& e : list) {
        packer.put(e.scale, 1);
        packer.put(e.udre, 2);
        packer.put(e.id, 5);
        packer.put(e.prc, 16);
        packer.put(e.rrc, 8);
        packer.put(e.iod, 8);
    }
    return packer.finish();
}

const std::string GpsHeader = "Sat ID \tPseudorange    \tRange Rate     \tZ-Count        \tIOD  \tUser Error";
const std::string Footer = "\r\n\r\nLast up date at 12:34:56";

// The table lines of a correction page, without title, header and footer.
std::vector<std::string> tableLines(const std::string& page) {
    std::vector<std::string> lines;
    std::size_t at = page.find("User Error");
    while (at != std::string::npos) {
        const std::size_t start = page.find("\r\n", at);
        if (start == std::string::npos) break;
        const std::size_t end = page.find("\r\n", start + 2);
        const std::string line = page.substr(start + 2, end == std::string::npos ? std::string::npos : end - start - 2);
        if (line.empty() || line.rfind("Last up", 0) == 0) break;
        lines.push_back(line);
        at = start + 2;
    }
    return lines;
}

TEST(CorrectionPage, WorkedExampleAtBothScales) {
    DecoderBench bench;
    bench.send(DecoderBench::header(1, 268, 0, 1234), entries({{0, 1, 5, 617, -6, 123}}));
    EXPECT_EQ(bench.page(0), "Msg #1 : Differential GPS Corrections\r\n\r\n" + GpsHeader +
                                 "\r\n05     \t+12.34 m       \t-0.012 m/s     \t12:20.4        \t123    \t<4.00 m" + Footer);

    bench.send(DecoderBench::header(1, 268, 0, 1234), entries({{1, 1, 5, 617, -6, 123}}));
    EXPECT_EQ(tableLines(bench.page(0)),
              std::vector<std::string>{"05     \t+197.44 m      \t-0.192 m/s     \t12:20.4        \t123    \t<4.00 m"});
}

TEST(CorrectionPage, ValuesSignsAndNotAvailablePatterns) {
    DecoderBench bench;
    bench.send(DecoderBench::header(9, 268, 0, 6001), entries({{0, 0, 1, -1, 0, 0}, {1, 0, 2, 0, 127, 255}, {0, 3, 3, -32768, -128, 7}}));
    EXPECT_EQ(tableLines(bench.page(4)), (std::vector<std::string>{
                                             "01     \t-0.02 m        \t+0.000 m/s     \tN/A            \t0      \t<1.00 m",
                                             "02     \t+0.00 m        \t+4.064 m/s     \tN/A            \t255    \t<1.00 m",
                                             "03     \tN/A            \tN/A            \tN/A            \t7      \t>8.00 m",
                                         }));
}

TEST(CorrectionPage, UserErrorFollowsTheHealthScale) {
    DecoderBench bench;
    bench.send(DecoderBench::header(1, 268, 2), entries({{0, 3, 4, 0, 0, 0}}));
    EXPECT_EQ(tableLines(bench.page(0))[0].substr(tableLines(bench.page(0))[0].rfind('\t') + 1), ">4.00 m");
    bench.send(DecoderBench::header(1, 268, 1), entries({{0, 0, 4, 0, 0, 0}}));
    EXPECT_EQ(tableLines(bench.page(0))[0].substr(tableLines(bench.page(0))[0].rfind('\t') + 1), "<0.75 m");
    bench.send(DecoderBench::header(1, 268, 6), entries({{0, 0, 4, 0, 0, 0}}));
    EXPECT_EQ(tableLines(bench.page(0))[0].substr(tableLines(bench.page(0))[0].rfind('\t') + 1), "N/A m");
}

TEST(CorrectionPage, EntriesPerFrameLengthAndSatelliteThirtyTwoSortedLast) {
    DecoderBench bench;
    auto words = entries({{0, 0, 0, 1, 0, 0}, {0, 0, 7, 1, 0, 0}, {0, 0, 3, 1, 0, 0}, {0, 0, 9, 1, 0, 0}});
    words.resize(5);  // three whole entries; the fourth is cut off
    bench.send(DecoderBench::header(1), words);
    auto lines = tableLines(bench.page(0));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(0, 2), "03");
    EXPECT_EQ(lines[1].substr(0, 2), "07");
    EXPECT_EQ(lines[2].substr(0, 2), "32");

    DecoderBench two;
    two.send(DecoderBench::header(1), entries({{0, 0, 11, 1, 0, 0}}));  // 2 words: one entry, 8 fill bits
    EXPECT_EQ(tableLines(two.page(0)).size(), 1u);

    DecoderBench fifteen;
    std::vector<RawEntry> nine;
    for (int id = 1; id <= 10; ++id) nine.push_back({0, 0, id, id, 0, 0});
    DataWordPacker packer;
    for (const RawEntry& e : nine) {
        for (auto [value, width] : {std::pair{e.scale, 1}, {e.udre, 2}, {e.id, 5}, {e.prc, 16}, {e.rrc, 8}, {e.iod, 8}})
            packer.put(value, width);
    }
    auto fifteenWords = packer.finish();
    fifteenWords.resize(15);
    fifteen.send(DecoderBench::header(1), fifteenWords);
    EXPECT_EQ(tableLines(fifteen.page(0)).size(), 9u);
}

TEST(CorrectionPage, LinesExpireAtTheThirtyFirstMessageOfTheirSystem) {
    DecoderBench bench;
    bench.send(DecoderBench::header(1), entries({{0, 0, 5, 1, 0, 0}}));
    // 30 GPS messages without satellite 5, types 1 and 9 alike, and GLONASS ones that do not count.
    for (int message = 1; message <= 30; ++message) {
        bench.send(DecoderBench::header(message % 2 ? 9 : 1), entries({{0, 0, 6, 1, 0, 0}}));
        bench.send(DecoderBench::header(31), entries({{0, 0, 6, 1, 0, 0}}));
    }
    EXPECT_EQ(tableLines(bench.page(0)).size(), 2u) << "still listed at the 30th";
    bench.send(DecoderBench::header(9), entries({{0, 0, 6, 1, 0, 0}}));
    auto lines = tableLines(bench.page(4));
    ASSERT_EQ(lines.size(), 1u) << "gone at the 31st";
    EXPECT_EQ(lines[0].substr(0, 2), "06");
}

TEST(CorrectionPage, TypeNineSatellitesShowOnTheTypeOnePageAtItsNextMessage) {
    DecoderBench bench;
    bench.send(DecoderBench::header(9), entries({{0, 0, 12, 1, 0, 0}}));
    EXPECT_EQ(bench.page(0), bench.pages.PageTitles[0]);
    bench.send(DecoderBench::header(1), entries({{0, 0, 3, 1, 0, 0}}));
    EXPECT_EQ(tableLines(bench.page(0)).size(), 2u);
}

TEST(CorrectionPage, ShortGlonassFramesAndTheTbColumn) {
    DecoderBench bench;
    // Type 34 with one word or none is a null frame: nothing changes at all.
    bench.send(DecoderBench::header(34), {0xABCDEF});
    bench.send(DecoderBench::header(34), {});
    EXPECT_EQ(bench.page(9), bench.pages.PageTitles[9]);
    EXPECT_FALSE(bench.pages.NewDataMarks[9]);

    // Type 31 with one word has no whole entry but still rebuilds its page.
    bench.send(DecoderBench::header(31), {0xABCDEF});
    EXPECT_EQ(bench.page(6),
              "Msg #31 : Differential GLONASS Corrections\r\n\r\n"
              "Sat ID \tPseudorange    \tRange Rate     \tZ-Count        \tTb  \tUser Error" +
                  Footer);

    // The eighth entry byte is the change flag and tb: tb is its low seven bits.
    bench.send(DecoderBench::header(34), entries({{0, 0, 4, 1, 0, 0x80 | 45}}));
    ASSERT_EQ(tableLines(bench.page(9)).size(), 1u);
    EXPECT_NE(tableLines(bench.page(9))[0].find("\t45     \t"), std::string::npos);
}

TEST(CorrectionPage, NumbersIgnoreTheUsersLocale) {
    // A German locale built for this test alone (glibc looks in LOCPATH first).
    const auto directory = std::filesystem::path(::testing::TempDir()) / ("locale-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const std::string build = "localedef -i de_DE -f UTF-8 '" + (directory / "de_DE.UTF-8").string() + "' 2>/dev/null";
    ASSERT_EQ(std::system(build.c_str()), 0) << "localedef could not build de_DE.UTF-8";
    ::setenv("LOCPATH", directory.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    char printed[16];
    std::snprintf(printed, sizeof printed, "%0.2f", 12.34);
    EXPECT_STREQ(printed, "12,34");  // the C library does follow the locale

    DecoderBench bench;
    bench.send(DecoderBench::header(1, 268, 0, 1234), entries({{0, 1, 5, 617, -6, 123}}));
    EXPECT_NE(bench.page(0).find("+12.34 m"), std::string::npos);
    EXPECT_EQ(fixed(-21474836.48, 2), "-21474836.48");

    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace sondeco::testing
