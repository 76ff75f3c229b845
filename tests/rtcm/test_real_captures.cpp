// SPDX-License-Identifier: GPL-3.0-or-later
// Real reference-station captures (tests/data/rtcm2, with gpsd's decoding of each in the .chk file)
// pushed bit by bit through the decoder. From the first frame the decoder locks on, every frame
// header must be the one gpsd saw, in order, and the pages must show the values gpsd decoded.
#include "tests/support/recording_view.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

namespace sondeco::testing {
namespace {

const std::string Data = SONDECO_TEST_DATA "/rtcm2/";

struct ExpectedFrame {
    DecodedHeader header;
    std::string json;
};

std::vector<ExpectedFrame> readExpected(const std::string& path) {
    std::vector<ExpectedFrame> frames;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (line.find("\"class\":\"RTCM2\"") == std::string::npos) continue;
        auto first = [&](const char* key) { return jsonNumbers(line, key).at(0); };
        frames.push_back(
            {{static_cast<int>(first("type")), static_cast<int>(first("station_id")), static_cast<int>(std::lround(first("zcount") / 0.6)),
              static_cast<int>(first("seqnum")), static_cast<int>(first("length")), static_cast<int>(first("station_health"))},
             line});
    }
    return frames;
}

struct Alignment {
    std::size_t decoded = 0;  // first decoded frame that gpsd also printed
    std::size_t expected = 0;  // its place in gpsd's output
};

class CaptureFile : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        bench.pushBits(readCaptureBits(Data + GetParam()));
        expected = readExpected(Data + GetParam() + ".chk");
        ASSERT_FALSE(expected.empty());
        ASSERT_FALSE(bench.view.completedFrames.empty());
        // One of the two streams starts with the other's first frame: the decoder may miss a few
        // frames before its first lock, and gpsd's replay of the daemon logs skipped a few.
        const auto& decoded = bench.view.completedFrames;
        bool found = false;
        for (std::size_t j = 0; j < expected.size() && !found; ++j) {
            if (expected[j].header == decoded[0]) {
                alignment = {0, j};
                found = true;
            }
        }
        for (std::size_t i = 0; i < decoded.size() && !found; ++i) {
            if (decoded[i] == expected[0].header) {
                alignment = {i, 0};
                found = true;
            }
        }
        ASSERT_TRUE(found) << "no frame in common with gpsd";
        ASSERT_LE(alignment.expected, 4u) << "more than a few leading frames missed";
    }

    std::size_t commonFrames() const {
        return std::min(bench.view.completedFrames.size() - alignment.decoded, expected.size() - alignment.expected);
    }

    DecoderBench bench;
    std::vector<ExpectedFrame> expected;
    Alignment alignment;
};

TEST_P(CaptureFile, EveryFrameHeaderFromTheFirstLockOn) {
    const auto& decoded = bench.view.completedFrames;
    EXPECT_EQ(decoded.size() - alignment.decoded, expected.size() - alignment.expected) << "frames lost or invented";
    for (std::size_t k = 0; k < commonFrames(); ++k) {
        const DecodedHeader& ours = decoded[alignment.decoded + k];
        const DecodedHeader& theirs = expected[alignment.expected + k].header;
        ASSERT_EQ(ours, theirs) << "frame " << k << " after alignment: type " << ours.type << " vs " << theirs.type << ", Z-count "
                                << ours.zCount << " vs " << theirs.zCount;
    }
}

std::string signedCell(double value, int decimals, const char* unit) {
    char text[48];
    std::snprintf(text, sizeof text, "%c%.*f%s", value >= 0 ? '+' : '-', decimals, std::fabs(value), unit);
    return text;
}

std::string userErrorText(int udre, int health) {
    if (health == 6) return "N/A m";
    static constexpr double Scale[6] = {1.0, 0.75, 0.5, 0.3, 0.2, 0.1};
    static constexpr double Bound[4] = {1.0, 4.0, 8.0, 8.0};
    char text[32];
    std::snprintf(text, sizeof text, "%c%.2f m", udre == 3 ? '>' : '<', Bound[udre] * Scale[health]);
    return text;
}

// The page line of one satellite, split into its cells.
std::vector<std::string> satelliteCells(const std::string& page, int id) {
    char start[8];
    std::snprintf(start, sizeof start, "\r\n%02d ", id);
    const auto at = page.find(start);
    if (at == std::string::npos) return {};
    const std::string line = page.substr(at + 2, page.find("\r\n", at + 2) - at - 2);
    std::vector<std::string> cells;
    std::size_t from = 0;
    for (std::size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', from)) {
        std::string cell = line.substr(from, tab - from);
        cell.erase(cell.find_last_not_of(' ') + 1);
        cells.push_back(cell);
        from = tab + 1;
    }
    cells.push_back(line.substr(from));
    return cells;
}

TEST_P(CaptureFile, PagesShowWhatGpsdDecoded) {
    int checkedSatellites = 0;
    for (std::size_t k = 0; k < commonFrames(); ++k) {
        const std::string& json = expected[alignment.expected + k].json;
        const DecodedHeader& header = expected[alignment.expected + k].header;
        const std::string& page = bench.view.framePages[alignment.decoded + k];
        const RtcmFrame& frame = bench.view.frames[alignment.decoded + k];
        SCOPED_TRACE("frame " + std::to_string(k) + ": " + json);
        if (header.type == 1 || header.type == 9 || header.type == 31) {
            const bool glonass = header.type == 31;
            const auto ids = jsonNumbers(json, "ident");
            const auto udres = jsonNumbers(json, "udre");
            const auto prcs = jsonNumbers(json, "prc");
            const auto rrcs = jsonNumbers(json, "rrc");
            const auto issues = jsonNumbers(json, glonass ? "tod" : "iod");
            for (std::size_t s = 0; s < ids.size(); ++s) {
                const int id = ids[s] == 0 ? 32 : static_cast<int>(ids[s]);  // gpsd prints ID 0 as 0
                const auto cells = satelliteCells(page, id);
                ASSERT_EQ(cells.size(), 6u) << "satellite " << id << " missing from\n" << page;
                // gpsd prints the not-available patterns as plain numbers; the page says N/A.
                const bool coarse = getField(frame.dataWords, 40 * static_cast<int>(s), BitField{0, 1}) != 0;
                const bool noPrc = prcs[s] == (coarse ? -10485.76 : -655.36);
                const bool noRrc = rrcs[s] == (coarse ? -4.096 : -0.256);
                EXPECT_EQ(cells[1], noPrc ? "N/A" : signedCell(prcs[s], 2, " m"));
                EXPECT_EQ(cells[2], noRrc ? "N/A" : signedCell(rrcs[s], 3, " m/s"));
                EXPECT_EQ(cells[3], formatZCount(header.zCount));
                EXPECT_EQ(cells[4], std::to_string(static_cast<int>(issues[s])));
                EXPECT_EQ(cells[5], userErrorText(static_cast<int>(udres[s]), header.health));
                ++checkedSatellites;
            }
        } else if (header.type == 3) {
            for (const char* axis : {"x", "y", "z"}) {
                char cell[32];
                std::snprintf(cell, sizeof cell, "%.2fm", jsonNumbers(json, axis)[0]);
                EXPECT_NE(page.find(cell), std::string::npos) << axis << " in\n" << page;
            }
        } else if (header.type == 16) {
            const auto at = json.find("\"message\":\"");
            ASSERT_NE(at, std::string::npos);
            const std::string message = json.substr(at + 11, json.find('"', at + 11) - at - 11);
            EXPECT_EQ(page.rfind("Msg #16 : GPS Special Message\r\n\r\n" + message + "\r\n", 0), 0u) << page;
        }
    }
    EXPECT_GT(checkedSatellites, 0);
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureFile, ::testing::Values("sample.rtcm2", "naujoks-rtcm2.log", "rtcm2.bend.log"),
                         testing::fileParameterName);

}  // namespace
}  // namespace sondeco::testing
