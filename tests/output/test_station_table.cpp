// SPDX-License-Identifier: GPL-3.0-or-later
// The station table from a scripted series of frames of several stations on several channels, and
// its live view on a terminal (a file standing in for one, and a pseudo-terminal) and into a pipe.

#include "output/station_table.h"
#include "tests/output/station_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
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
                  "Frequency      ID Rate    Eb/N0   Frames Repaired   Lost Type  Last heard UTC       Latitude  Longitude  Health",
                  "+1500 Hz      001  200  10.0 dB        1        0      0    3  2023-11-14 22:13:23 -33.44890  -70.66930  Not Working",
                  "290.0 kHz     402  200  13.0 dB        1        0      0    6  2023-11-14 22:13:20         -          -  Normal",
                  "290.0 kHz     403  200  14.0 dB        1        0      1    9  2023-11-14 22:13:23         -          -  Normal",
                  "300.0 kHz     055  200  15.0 dB        1        0      4    1  2023-11-14 22:13:23         -          -  Normal",
                  "313.5 kHz     017  200  14.0 dB        3        1      3    3  2023-11-14 22:13:22 +52.12346   +4.76543  Unmonitored",
                  "320.0 kHz     017  200  16.0 dB        1        0      0    1  2023-11-14 22:13:23         -          -  Normal",
                  "-             998    -        -        1        0      0    7  2023-11-14 22:13:23         -          -  Normal",
                  "-             999    -        -        1        0      0    7  2023-11-14 22:13:23         -          -  Normal"}));
    // Narrower than that, the rows that fit 80 columns: no position, the time of day.
    EXPECT_EQ(testing::lines(renderStationTable(table.rows(), FullStationTableColumns - 1)),
              (std::vector<std::string>{"Frequency   ID Rate   Eb/N0  Frames Repaired   Lost Type  Heard UTC Health",
                                        "+1500 Hz   001  200 10.0 dB       1        0      0    3  22:13:23  Not Working",
                                        "290.0 kHz  402  200 13.0 dB       1        0      0    6  22:13:20  Normal",
                                        "290.0 kHz  403  200 14.0 dB       1        0      1    9  22:13:23  Normal",
                                        "300.0 kHz  055  200 15.0 dB       1        0      4    1  22:13:23  Normal",
                                        "313.5 kHz  017  200 14.0 dB       3        1      3    3  22:13:22  Unmonitored",
                                        "320.0 kHz  017  200 16.0 dB       1        0      0    1  22:13:23  Normal",
                                        "-          998    -       -       1        0      0    7  22:13:23  Normal",
                                        "-          999    -       -       1        0      0    7  22:13:23  Normal"}));
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
    screen.setTerminalSize({140, 40});
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
    EXPECT_EQ(written(piped),
              "2023-11-14 22:13:20 UTC  313.5 kHz    station 017  type  9  z 01:00.0  seq 4  len  2  200 bit/s  Eb/N0 12.0 dB  repaired 0  "
              "Normal\n"
              "2023-11-14 22:13:20 UTC  290.0 kHz    station 402  type  6  z 00:06.0  seq 2  len  0  200 bit/s  Eb/N0 13.0 dB  repaired 0  "
              "Normal\n");
    std::fclose(piped);
    std::fclose(terminal);
}

// Each drawing of the screen, from one home to the next, split at its line ends, without the
// clearing escapes: what the terminal shows.
std::vector<std::vector<std::string>> drawings(std::string text) {
    for (const std::string escape : {"\x1b[K", "\x1b[J"})
        for (auto at = text.find(escape); at != std::string::npos; at = text.find(escape)) text.erase(at, 3);
    std::vector<std::vector<std::string>> drawn;
    for (auto home = text.find("\x1b[H"); home != std::string::npos; home = text.find("\x1b[H", home + 3)) {
        drawn.emplace_back(1);
        for (std::size_t at = home + 3; at < text.size() && text.compare(at, 3, "\x1b[H") != 0; ++at) {
            if (text[at] == '\n')
                drawn.back().emplace_back();
            else
                drawn.back().back() += text[at];
        }
    }
    return drawn;
}

// Thirty stations on an 80x24 terminal, with a headline and a trouble line too long for it: no drawing
// has a line wider than the terminal or a line end on its bottom row (which would scroll a copy into
// the scrollback), the stations that do not fit are counted, a wider terminal gets the full layout,
// and the last drawing has them all.
TEST(StationTableWriter, DrawsWithinTheTerminalFromBeforeTheFirstFrameAndLeavesTheWholeTable) {
    testing::TestClock time;
    StationTable table(time.clock());
    std::FILE* terminal = std::tmpfile();
    StationTableWriter screen(table, terminal, StationTableWriter::Mode::Redraw, time.clock());
    screen.setTerminalSize({80, 24});
    std::string headline = "searching 84 channels";
    std::string trouble;
    screen.setHeadline([&] { return headline; });
    screen.setStatus([&] { return trouble; });
    screen.refresh();
    const std::string narrowHeader = testing::lines(renderStationTable({}, 80)).at(0);
    EXPECT_EQ(drawings(written(terminal)), (std::vector<std::vector<std::string>>{{headline, narrowHeader, ""}})) << "before any frame";

    for (int station = 0; station < 30; ++station) {
        HeardFrame heard = heardFrame(100 + station, 9, 285000.0 + 1000.0 * station, station, {1});
        heard.frame.stationHealth = 6 + station % 2;  // the longest rows
        table.frameCompleted(heard.frame, heard.message);
        screen.frameCompleted(heard.frame, heard.message);
        time.now += 0.3;
        headline = "stream 00:00:" + std::to_string(10 + station) + " UTC  " + std::to_string(station + 1) + " stations";
        // A caller's escape and line end are not the screen's, and a long line is cut at a whole character.
        if (station == 20) trouble = "Frame log:\x1bheld\nby another program " + std::string(43, '.') + "\u00e9\u00e9\u00e9";
        screen.refresh();
    }
    const auto live = drawings(written(terminal));
    ASSERT_GE(live.size(), 30u);
    for (const auto& drawing : live) {
        EXPECT_LE(drawing.size(), 24u);
        for (const std::string& line : drawing)
            EXPECT_LE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xc0) != 0x80; }), 80);
    }
    const auto& last = live.back();
    ASSERT_EQ(last.size(), 24u);
    EXPECT_EQ(std::vector<std::string>(last.begin(), last.begin() + 3),
              (std::vector<std::string>{headline, narrowHeader, testing::lines(renderStationTable(table.rows(), 80)).at(1)}));
    EXPECT_EQ(last[22], "... 10 more stations") << "twenty shown";
    EXPECT_EQ(last[23], "Frame log: held by another program " + std::string(43, '.') + "\u00e9\u00e9");

    // A window dragged wider: the full layout at the next refresh.
    screen.setTerminalSize({140, 60});
    time.now += 1.0;
    screen.refresh();
    EXPECT_EQ(drawings(written(terminal)).back().at(1), testing::lines(table.render()).at(0));

    screen.setTerminalSize({80, 24});
    screen.finish();
    const auto whole = drawings(written(terminal)).back();
    ASSERT_EQ(whole.size(), 34u) << "headline, header, 30 stations, the trouble, and a line end after it for the shell's prompt";
    EXPECT_EQ(std::vector<std::string>(whole.begin() + 1, whole.begin() + 32), testing::lines(renderStationTable(table.rows(), 80)));
    std::fclose(terminal);
}

// The terminal's own size, asked at each redraw, so that a resized window is drawn to its new size;
// one that says 0x0 (a serial console) leaves it to COLUMNS and LINES.
TEST(StationTableWriter, AsksTheTerminalItsSizeAtEachRedraw) {
    winsize window{24, 80, 0, 0};
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &window), 0);
    std::FILE* out = fdopen(dup(slave), "w");
    testing::TestClock time;
    StationTable table(time.clock());
    StationTableWriter screen(table, out, StationTableWriter::Mode::Automatic, time.clock());
    // The first line drawn, or nothing when nothing is.
    const auto drawnHeader = [&] {
        screen.refresh();
        pollfd polled{master, POLLIN, 0};
        char buffer[4096];
        const ssize_t got = poll(&polled, 1, 1000) == 1 ? read(master, buffer, sizeof buffer) : 0;
        const std::string drawn(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        return drawn.substr(0, drawn.find('\r'));
    };
    EXPECT_EQ(drawnHeader(), "\x1b[H" + testing::lines(renderStationTable({}, 80)).at(0) + "\x1b[K") << "drawn before any frame";
    window.ws_col = 132;
    ASSERT_EQ(ioctl(master, TIOCSWINSZ, &window), 0);
    time.now += 1.0;
    EXPECT_EQ(drawnHeader(), "\x1b[H" + testing::lines(renderStationTable({}, 132)).at(0) + "\x1b[K");

    window = {};
    ASSERT_EQ(ioctl(master, TIOCSWINSZ, &window), 0);
    const std::string names[2] = {"COLUMNS", "LINES"};
    std::optional<std::string> found[2];
    for (int name = 0; name < 2; ++name)
        if (const char* value = std::getenv(names[name].c_str())) found[name] = value;
    setenv("COLUMNS", "100", 1);
    setenv("LINES", "30", 1);
    EXPECT_EQ(terminalSize(slave), (TerminalSize{100, 30}));
    setenv("COLUMNS", "100x", 1);
    unsetenv("LINES");
    EXPECT_EQ(terminalSize(slave), (TerminalSize{80, 24})) << "not a number, and none";
    for (int name = 0; name < 2; ++name) found[name] ? setenv(names[name].c_str(), found[name]->c_str(), 1) : unsetenv(names[name].c_str());
    std::fclose(out);
    close(master);
    close(slave);
}

}  // namespace
}  // namespace sondeco
