// SPDX-License-Identifier: GPL-3.0-or-later
// The station table from a scripted series of frames of several stations on several channels, and
// its live view on a terminal and into a pipe.

#include "output/station_table.h"
#include "tests/output/station_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace sondeco {
namespace {

using testing::ecefOf;
using testing::heardFrame;
using testing::HeardFrame;
using testing::stationFrame;

TEST(StationTable, TellsStationsApartChargesLostFramesAndShowsTheirPositions) {
    testing::TestClock time;
    StationTable table(time.clock());
    const auto hear = [&](HeardFrame heard, int repaired = 0, int health = 0) {
        heard.message.reception.repairedWords = repaired;
        heard.frame.stationHealth = health;
        table.frameCompleted(heard.frame, heard.message);
    };
    hear(heardFrame(17, 9, 313500.0, 100, {1, 2}));  // A: its tone estimate wanders and it stays one station
    hear(heardFrame(402, 6, 290000.0, 10));  // B
    time.now += 1.0;
    hear(heardFrame(17, 9, 313520.0, 101, {3}), 2);
    EXPECT_EQ(table.framesLost(313500.0, 2), std::optional<std::size_t>(0));
    EXPECT_EQ(table.framesLost(313510.0, 2), std::nullopt) << "nothing new on that channel";
    time.now += 1.0;
    hear(stationFrame(17, 313490.0, 102, ecefOf(52.1234567, 4.7654321, 45.0)), 0, 6);
    EXPECT_EQ(table.framesLost(300000.0, 4), std::nullopt) << "nobody heard there yet";
    time.now += 1.0;
    hear(heardFrame(403, 9, 290010.0, 11));  // B's channel, another station now: charged with its loss
    EXPECT_EQ(table.framesLost(290000.0, 1), std::optional<std::size_t>(2));
    hear(heardFrame(55, 1, 300040.0, 12));  // takes the four lost before it came
    hear(heardFrame(17, 1, 320000.0, 13));  // A's ID on another frequency: another station
    hear(stationFrame(1, 1500.0, 14, ecefOf(-33.4489, -70.6693, 520.0)), 0, 7);  // a tone in audio
    hear(heardFrame(999, 7, std::nullopt, 15, {7, 8, 9}));  // RTCM byte streams
    hear(heardFrame(998, 7, std::nullopt, 16));
    // A decoder started afresh counts from zero again: its whole count is new.
    EXPECT_EQ(table.framesLost(313500.0, 1), std::optional<std::size_t>(0));

    // Within a metre: 1e-5 degrees of latitude is 1.1 m, of longitude less.
    const auto& a = table.rows()[0].stationPosition;
    const auto& tone = table.rows()[5].stationPosition;
    ASSERT_TRUE(a && tone);
    EXPECT_NEAR(a->latitude, 52.1234567, 0.9e-5);
    EXPECT_NEAR(a->longitude, 4.7654321, 0.9e-5);
    EXPECT_NEAR(a->height, 45.0, 1.0);
    EXPECT_NEAR(tone->latitude, -33.4489, 0.9e-5);
    EXPECT_NEAR(tone->longitude, -70.6693, 0.9e-5);
    EXPECT_NEAR(tone->height, 520.0, 1.0);
    EXPECT_EQ(stationPositionOf({0.0, 0.0, 0.0}), std::nullopt) << "zeros are no position";
    EXPECT_NEAR(stationPositionOf({0.0, 0.0, 6356752.3})->latitude, 90.0, 1e-6) << "on the axis";

    // In order of frequency, the byte-stream stations last; every column where the header puts it.
    EXPECT_EQ(testing::lines(table.render()),
              (std::vector<std::string>{
                  "Frequency      ID Rate    Eb/N0   Frames Repaired   Lost Type  Last heard           Latitude  Longitude  Health",
                  "+1500 Hz      001  200  10.0 dB        1        0      0    3  2023-11-14 22:13:23 -33.44890  -70.66930  Not Working",
                  "290.0 kHz     402  200  13.0 dB        1        0      0    6  2023-11-14 22:13:20         -          -  Normal",
                  "290.0 kHz     403  200  14.0 dB        1        0      1    9  2023-11-14 22:13:23         -          -  Normal",
                  "300.0 kHz     055  200  15.0 dB        1        0      4    1  2023-11-14 22:13:23         -          -  Normal",
                  "313.5 kHz     017  200  14.0 dB        3        1      3    3  2023-11-14 22:13:22 +52.12346   +4.76543  Unmonitored",
                  "320.0 kHz     017  200  16.0 dB        1        0      0    1  2023-11-14 22:13:23         -          -  Normal",
                  "-             998    -        -        1        0      0    7  2023-11-14 22:13:23         -          -  Normal",
                  "-             999    -        -        1        0      0    7  2023-11-14 22:13:23         -          -  Normal"}));
}

std::string written(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
    return text;
}

std::size_t redraws(const std::string& text) {
    std::size_t count = 0;
    for (auto at = text.find("\x1b[H"); at != std::string::npos; at = text.find("\x1b[H", at + 1)) ++count;
    return count;
}

TEST(StationTableWriter, RedrawsATerminalAFewTimesASecondAndWritesAPipeALineAFrame) {
    testing::TestClock time;
    StationTable table(time.clock());
    std::FILE* piped = std::tmpfile();
    std::FILE* terminal = std::tmpfile();
    StationTableWriter lines(table, piped, StationTableWriter::Mode::Automatic, time.clock());
    StationTableWriter screen(table, terminal, StationTableWriter::Mode::Redraw, time.clock());
    EXPECT_EQ(lines.mode(), StationTableWriter::Mode::Lines) << "a file is not a terminal";
    const auto hear = [&](const HeardFrame& heard) {
        for (DecoderListener* listener : std::initializer_list<DecoderListener*>{&table, &lines, &screen})
            listener->frameCompleted(heard.frame, heard.message);
    };
    hear(heardFrame(17, 9, 313500.0, 100, {1, 2}));
    EXPECT_EQ(redraws(written(terminal)), 1u) << "the first frame is shown at once";
    time.now += 0.1;
    hear(heardFrame(402, 6, 290000.0, 10));
    screen.refresh();
    EXPECT_EQ(redraws(written(terminal)), 1u);
    time.now += 0.2;
    screen.refresh();
    EXPECT_EQ(redraws(written(terminal)), 2u);
    time.now += 5.0;
    screen.refresh();
    EXPECT_EQ(redraws(written(terminal)), 2u) << "nothing changed";
    screen.finish();
    const std::string drawn = written(terminal);
    EXPECT_EQ(redraws(drawn), 3u) << "and once at the end";
    // The last drawing is the table, each line cleared to its end, the rest of the screen cleared.
    std::string expected = table.render();
    for (auto at = expected.find('\n'); at != std::string::npos; at = expected.find('\n', at + 4)) expected.insert(at, "\x1b[K");
    EXPECT_EQ(drawn.substr(drawn.rfind("\x1b[H")), "\x1b[H" + expected + "\x1b[J");

    lines.finish();
    EXPECT_EQ(
        written(piped),
        "2023-11-14 22:13:20  313.5 kHz    station 017  type  9  z 01:00.0  seq 4  len  2  200 bit/s  Eb/N0 12.0 dB  repaired 0  Normal\n"
        "2023-11-14 22:13:20  290.0 kHz    station 402  type  6  z 00:06.0  seq 2  len  0  200 bit/s  Eb/N0 13.0 dB  repaired 0  Normal\n");
    std::fclose(piped);
    std::fclose(terminal);
}

}  // namespace
}  // namespace sondeco
