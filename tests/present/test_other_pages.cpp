// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/recording_view.h"

#include "present/reference_station_text.h"
#include "rtcm/reference_station.h"

#include <gtest/gtest.h>

namespace sondeco::testing {
namespace {

const std::string Footer = "\r\n\r\nLast up date at 12:34:56";

std::vector<std::uint32_t> ecefWords(std::int64_t x, std::int64_t y, std::int64_t z) {
    DataWordPacker packer;
    packer.put(x, 32);
    packer.put(y, 32);
    packer.put(z, 32);
    return packer.finish();
}

TEST(AngleText, TruncatesEveryUnitAndNeverCarries) {
    EXPECT_EQ(formatAngle(35.123456, true, true), "N35-07-24.44");
    EXPECT_EQ(formatAngle(-139.5, false, false), "W139-30-00");
    EXPECT_EQ(formatAngle(35.99999999, true, true), "N35-59-59.99");
    EXPECT_EQ(formatAngle(0.0, true, true), "S0-00-00.00");
    EXPECT_EQ(formatAngle(0.0, false, false), "W0-00-00");
    EXPECT_EQ(formatAngle(139.5, false, true), "E139-30-00.00");
}

TEST(ReferenceStationPage, EquatorialStationByteForByte) {
    DecoderBench bench;
    // On the equator at the prime meridian: latitude and longitude exactly 0, height 0.
    bench.send(DecoderBench::header(3, 7), ecefWords(637813700, 0, 0));
    EXPECT_EQ(bench.page(1),
              "Msg #3 : GPS Reference Station Parameters\r\n\r\n"
              "ECEF X         \tECEF Y         \tECEF Z\r\n"
              "6378137.00m    \t0.00m          \t0.00m\r\n"
              "Latitude       \tLongitude      \tAltitude\r\n"
              "S0-00-00.00    \tW0-00-00.00    \t0.0 m\r\n\r\n"
              "https://maps.google.com/maps?q=0.000000,0.000000(007)&z=6" +
                  Footer);

    // Type 32 is laid out and converted the same; only title and tab differ. A quarter turn east.
    bench.send(DecoderBench::header(32, 7), ecefWords(0, 637813700, 0));
    EXPECT_EQ(bench.page(7),
              "Msg #32 : Differential GLONASS Reference Station Parameters\r\n\r\n"
              "ECEF X         \tECEF Y         \tECEF Z\r\n"
              "0.00m          \t6378137.00m    \t0.00m\r\n"
              "Latitude       \tLongitude      \tAltitude\r\n"
              "S0-00-00.00    \tE90-00-00.00   \t0.0 m\r\n\r\n"
              "https://maps.google.com/maps?q=0.000000,90.000000(007)&z=6" +
                  Footer);
}

TEST(ReferenceStationPage, RealStationPositionAndExtremeFields) {
    DecoderBench bench;
    // The reference station at Bend, Oregon, of the ORGN capture: 44.057155 N, 121.315170 W, 1096 m
    // above the ellipsoid (as an independent evaluation of the same closed formula gives).
    bench.send(DecoderBench::header(3, 205), ecefWords(-238659278, -392291535, 441341998));
    EXPECT_EQ(bench.page(1),
              "Msg #3 : GPS Reference Station Parameters\r\n\r\n"
              "ECEF X         \tECEF Y         \tECEF Z\r\n"
              "-2386592.78m   \t-3922915.35m   \t4413419.98m\r\n"
              "Latitude       \tLongitude      \tAltitude\r\n"
              "N44-03-25.75   \tW121-18-54.61  \t1096.3 m\r\n\r\n"
              "https://maps.google.com/maps?q=44.057155,-121.315170(205)&z=6" +
                  Footer);

    bench.send(DecoderBench::header(3, 300), ecefWords(-1, std::int64_t{-2147483647} - 1, 2147483647));
    EXPECT_NE(bench.page(1).find("-0.01m         \t-21474836.48m  \t21474836.47m\r\n"), std::string::npos) << bench.page(1);
}

TEST(ReferenceStationPage, OnThePolarAxisTheLineSaysNotAvailable) {
    DecoderBench bench;
    bench.send(DecoderBench::header(3, 1), ecefWords(0, 0, 635675231));
    EXPECT_EQ(bench.page(1),
              "Msg #3 : GPS Reference Station Parameters\r\n\r\n"
              "ECEF X         \tECEF Y         \tECEF Z\r\n"
              "0.00m          \t0.00m          \t6356752.31m\r\n"
              "Latitude       \tLongitude      \tAltitude\r\n"
              "N/A            \tN/A            \tN/A" +
                  Footer);
}

TEST(ReferenceStationPage, ShortFrameReadsWhatEarlierFramesLeft) {
    DecoderBench bench;
    bench.send(DecoderBench::header(3, 1), ecefWords(637813700, 0, 0));
    auto words = ecefWords(0, 637813700, 5);
    words.resize(2);  // X and the top of Y only
    bench.send(DecoderBench::header(3, 1), words);
    // Y's low bits and Z come from the first frame.
    EXPECT_NE(bench.page(1).find("0.00m          \t"), std::string::npos);
    EXPECT_EQ(bench.decoder.frame().dataWords[3], 0u);
}

std::uint32_t healthWord(int id, int iodLink, int health, int cn, int enable, int newData, int warning, int tou) {
    DataWordPacker packer;
    for (auto [value, width] :
         {std::pair{0, 1}, {id, 5}, {iodLink, 1}, {health, 3}, {cn, 5}, {enable, 1}, {newData, 1}, {warning, 1}, {tou, 4}, {0, 2}})
        packer.put(value, width);
    return packer.finish()[0];
}

TEST(ConstellationHealthPage, EveryColumnRule) {
    DecoderBench bench;
    bench.send(DecoderBench::header(5),
               {healthWord(0, 1, 0, 0, 0, 1, 1, 0), healthWord(7, 0, 5, 1, 1, 0, 0, 9), healthWord(12, 0, 2, 31, 0, 0, 1, 15)});
    EXPECT_EQ(bench.page(2),
              "Msg #5 : GPS Constellation Health\r\n"
              "\rSat ID \tNavi   \tHealth \tC/N    \tDGPS   \tNew    \tWarning"
              "\r\n32     \tOK     \t-      \tN/A dB \t2      \tIOD    \t0 min"
              "\r\n07     \tNG     \tOK     \t25 dB  \t1,9    \t-      \tNon"
              "\r\n12     \tNG     \tNG     \t55 dB  \t1,9    \t-      \t75 min" +
                  Footer);

    bench.send(DecoderBench::header(33), {healthWord(3, 1, 0, 10, 1, 1, 0, 0), healthWord(4, 0, 0, 10, 0, 0, 0, 0)});
    EXPECT_EQ(bench.page(8),
              "Msg #33 : GLONASS Constellation Health\r\n"
              "\rSat ID \tNavi   \tHealth \tC/N    \tDGPS   \tNew    \tWarning"
              "\r\n03     \tOK     \t-      \t34 dB  \t-      \tTb     \tNon"
              "\r\n04     \tOK     \t-      \t34 dB  \t31,34  \t-      \tNon" +
                  Footer);

    // A smaller frame replaces the page whole, and an empty one leaves only the headings.
    bench.send(DecoderBench::header(5), {healthWord(9, 0, 0, 0, 0, 0, 0, 0)});
    EXPECT_EQ(bench.page(2).find("\r\n32 "), std::string::npos);
    bench.send(DecoderBench::header(5), {});
    EXPECT_EQ(bench.page(2),
              "Msg #5 : GPS Constellation Health\r\n\rSat ID \tNavi   \tHealth \tC/N    \tDGPS   \tNew    \tWarning" + Footer);
}

std::vector<std::uint32_t> almanacWords(std::initializer_list<std::array<int, 9>> beacons) {
    DataWordPacker packer;
    for (const auto& b : beacons) {
        // latitude, longitude, range, frequency, health, station, bit rate, and three flag bits
        packer.put(b[0], 16);
        packer.put(b[1], 16);
        packer.put(b[2], 10);
        packer.put(b[3], 12);
        packer.put(b[4], 2);
        packer.put(b[5], 10);
        packer.put(b[6], 3);
        packer.put(b[7], 1);
        packer.put(b[8], 2);
    }
    return packer.finish();
}

TEST(BeaconAlmanacPage, ScalesLettersAndNames) {
    DecoderBench bench;
    auto words =
        almanacWords({{32767, 1, 0, 0, 0, 5, 3, 1, 3}, {-32768, 0, 1023, 4095, 3, 1023, 7, 0, 0}, {0, 0, 250, 1000, 1, 77, 5, 0, 0}});
    words.resize(7);  // two whole entries and one stray word
    bench.send(DecoderBench::header(7), words);
    EXPECT_EQ(bench.page(3),
              "Msg #7 : DGPS Radiobeacon Almanac\r\n"
              "\r\nTx ID  \tFrequency      \tLatitude       \tLongitude      \tRange  \tBit Rate\tHealth"
              "\r\n005    \t190.0 kHz      \tN90-00-00      \tE0-00-19       \t0 km   \t110 bps\tOperation Normal"
              "\r\n1023   \t599.5 kHz      \tS90-00-09      \tW0-00-00       \t1023 km\t300 bps\tDo Not Use" +
                  Footer);

    bench.send(DecoderBench::header(35), almanacWords({{0, 0, 250, 1000, 1, 77, 5, 0, 0}}));
    EXPECT_NE(bench.page(10).find("\r\n077    \t290.0 kHz      \tS0-00-00       \tW0-00-00       \t250 km \t200 bps\tNo Monitoring"),
              std::string::npos)
        << bench.page(10);

    bench.send(DecoderBench::header(7), {0x1, 0x2});
    EXPECT_EQ(bench.page(3),
              "Msg #7 : DGPS Radiobeacon Almanac\r\n"
              "\r\nTx ID  \tFrequency      \tLatitude       \tLongitude      \tRange  \tBit Rate\tHealth" +
                  Footer);
}

TEST(SpecialMessagePage, HistoryOfTwelveNewestFirst) {
    DecoderBench bench;
    bench.send(DecoderBench::header(16), {});
    EXPECT_EQ(bench.page(5), "Msg #16 : GPS Special Message\r\n\r\n\r\nLast up date at 12:34:56");

    bench.send(DecoderBench::header(16), {0x414243});  // exactly 3N characters, no terminating 0
    bench.send(DecoderBench::header(16), {0x580059});  // a 0 in the middle ends the text
    bench.send(DecoderBench::header(16), {0x0D0A41});  // CR and LF stay in the text
    EXPECT_EQ(bench.page(5), "Msg #16 : GPS Special Message\r\n\r\n\r\nA\r\nX\r\nABC\r\n\r\nLast up date at 12:34:56");
    EXPECT_EQ(bench.pages.SpecialMessageLines[3], "");  // the empty text still took a place

    for (int n = 0; n < 9; ++n) bench.send(DecoderBench::header(16), buildSpecialMessageWords("MSG " + std::to_string(n)));
    // 13 frames in all: the first (empty) one has gone; "ABC" is the oldest of the twelve.
    EXPECT_EQ(bench.pages.SpecialMessageLines[11], "ABC");
    bench.send(DecoderBench::header(16), buildSpecialMessageWords("LAST"));
    EXPECT_EQ(bench.page(5).find("ABC"), std::string::npos);
    EXPECT_EQ(bench.page(5).rfind("Msg #16 : GPS Special Message\r\n\r\nLAST\r\nMSG 8\r\n", 0), 0u);
}

}  // namespace
}  // namespace sondeco::testing
