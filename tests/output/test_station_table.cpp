// The station table from a scripted series of frames of several stations on several channels, and
// its live view on a terminal and into a pipe.

#include "output/station_table.h"
#include "tests/output/station_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>

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
        return table.record(heard.frame, heard.message);
    };
    // A: its tone estimate wanders by tens of hertz and stays one station.
    EXPECT_EQ(hear(heardFrame(17, 9, 313500.0, 100, {1, 2})), 0u);
    EXPECT_EQ(hear(heardFrame(402, 6, 290000.0, 10)), 1u);  // B
    time.now += 1.0;
    EXPECT_EQ(hear(heardFrame(17, 9, 313520.0, 101, {3}), 2), 0u);
    EXPECT_EQ(table.framesLost(313500.0, 2), std::optional<std::size_t>(0));
    EXPECT_EQ(table.framesLost(313510.0, 2), std::nullopt) << "nothing new on that channel";
    time.now += 1.0;
    EXPECT_EQ(hear(stationFrame(17, 313490.0, 102, ecefOf(52.1234567, 4.7654321, 45.0)), 0, 6), 0u);
    EXPECT_EQ(table.framesLost(300000.0, 4), std::nullopt) << "nobody heard there yet";
    time.now += 1.0;
    EXPECT_EQ(hear(heardFrame(403, 9, 290010.0, 11)), 2u);  // C: B's channel, another station now
    EXPECT_EQ(table.framesLost(290000.0, 1), std::optional<std::size_t>(2)) << "the station last heard there";
    EXPECT_EQ(hear(heardFrame(55, 1, 300040.0, 12)), 3u);  // D: takes the four lost before it came
    EXPECT_EQ(hear(heardFrame(17, 1, 320000.0, 13)), 4u);  // E: A's ID on another frequency
    EXPECT_EQ(hear(stationFrame(1, 1500.0, 14, ecefOf(-33.4489, -70.6693, 520.0)), 0, 7), 5u);  // F: an audio tone
    EXPECT_EQ(hear(heardFrame(999, 7, std::nullopt, 15, {7, 8, 9})), 6u);  // G: an RTCM byte stream
    EXPECT_EQ(hear(heardFrame(998, 7, std::nullopt, 16)), 7u);
    // A decoder started afresh counts from zero again: its whole count is new.
    EXPECT_EQ(table.framesLost(313500.0, 1), std::optional<std::size_t>(0));

    const auto& rows = table.rows();
    ASSERT_EQ(rows.size(), 8u);
    const StationRow& a = rows[0];
    EXPECT_EQ(a.stationId, 17);
    EXPECT_EQ(a.frequencyHz, 313490.0);
    EXPECT_TRUE(a.absoluteFrequency);
    EXPECT_EQ(a.frames, 3u);
    EXPECT_EQ(a.framesRepaired, 1u);
    EXPECT_EQ(a.framesLost, 3u);
    EXPECT_EQ(a.framesByType[9], 2u);
    EXPECT_EQ(a.framesByType[3], 1u);
    EXPECT_EQ(a.lastMessageType, 3);
    EXPECT_EQ(a.health, 6);
    EXPECT_EQ(a.firstHeard, 1.7e9);
    EXPECT_EQ(a.lastHeard, 1.7e9 + 2.0);
    EXPECT_EQ(a.ebN0Db, 10.0 + 102 % 7);
    // Within a metre: 1e-5 degrees of latitude is 1.1 m, of longitude less.
    ASSERT_TRUE(a.stationPosition);
    EXPECT_NEAR(a.stationPosition->latitude, 52.1234567, 0.9e-5);
    EXPECT_NEAR(a.stationPosition->longitude, 4.7654321, 0.9e-5);
    EXPECT_NEAR(a.stationPosition->height, 45.0, 1.0);
    ASSERT_TRUE(rows[5].stationPosition);
    EXPECT_NEAR(rows[5].stationPosition->latitude, -33.4489, 0.9e-5);
    EXPECT_NEAR(rows[5].stationPosition->longitude, -70.6693, 0.9e-5);
    EXPECT_NEAR(rows[5].stationPosition->height, 520.0, 1.0);
    EXPECT_EQ(rows[1].framesLost, 0u) << "B was not heard last on its channel";
    EXPECT_EQ(rows[2].framesLost, 1u);
    EXPECT_EQ(rows[3].framesLost, 4u);
    EXPECT_EQ(rows[4].frames, 1u);
    EXPECT_FALSE(rows[6].stationPosition);
    EXPECT_EQ(stationPositionOf({0.0, 0.0, 0.0}), std::nullopt) << "zeros are no position";
    ASSERT_TRUE(stationPositionOf({0.0, 0.0, 6356752.3}));
    EXPECT_NEAR(stationPositionOf({0.0, 0.0, 6356752.3})->latitude, 90.0, 1e-6) << "on the axis";

    // In order of frequency, the byte-stream stations last; every column where the header puts it.
    const auto lines = testing::lines(table.render());
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "Frequency      ID Rate    Eb/N0   Frames Repaired   Lost Type  Last heard           Latitude  Longitude  Health");
    EXPECT_EQ(lines[1],
              "+1500 Hz      001  200  10.0 dB        1        0      0    3  2023-11-14 22:13:23 -33.44890  -70.66930  Not Working");
    EXPECT_EQ(lines[2].substr(0, 17), "290.0 kHz     402");
    EXPECT_EQ(lines[3].substr(0, 17), "290.0 kHz     403");
    EXPECT_EQ(lines[4].substr(0, 17), "300.0 kHz     055");
    EXPECT_EQ(lines[5],
              "313.5 kHz     017  200  14.0 dB        3        1      3    3  2023-11-14 22:13:22 +52.12346   +4.76543  Unmonitored");
    EXPECT_EQ(lines[6].substr(0, 17), "320.0 kHz     017");
    EXPECT_EQ(lines[7], "-             998    -        -        1        0      0    7  2023-11-14 22:13:23         -          -  Normal");
    EXPECT_EQ(lines[8].substr(0, 17), "-             999");
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

    int controller = -1;
    int device = -1;
    ASSERT_EQ(openpty(&controller, &device, nullptr, nullptr, nullptr), 0);
    std::FILE* pty = fdopen(device, "w");
    EXPECT_EQ(StationTableWriter(table, pty).mode(), StationTableWriter::Mode::Redraw) << "a terminal";
    std::fclose(pty);
    close(controller);
}

}  // namespace
}  // namespace sondeco
