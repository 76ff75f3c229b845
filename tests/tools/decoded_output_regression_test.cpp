// SPDX-License-Identifier: GPL-3.0-or-later
// What sondeco-decode writes, byte for byte, for the three real captures and two noisy generated
// beacons, in every output format, against files kept in tests/data/golden. Any change to the word
// layer, frame assembly, the message decoders, the pages or the output formats that changes a single
// byte shows here; where the change is meant, regenerate the files with
//     SONDECO_UPDATE_GOLDEN=1 ctest -R DecodedOutputRegression
// and let the diff of tests/data/golden say what changed.

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace sondeco {
namespace {

using testing::readWhole;
using testing::runCommand;
using testing::scratchPath;

const std::string Golden = SONDECO_TEST_DATA "/golden/";

// Page footers carry the wall-clock time of decoding.
std::string withoutFooterTimes(const std::string& text) {
    static const std::string footer = "Last up date at ";
    std::string result = text;
    for (auto at = result.find(footer); at != std::string::npos; at = result.find(footer, at + 1)) {
        const auto time = at + footer.size();
        if (result.size() >= time + 8) result.replace(time, 8, "XX:XX:XX");
    }
    return result;
}

void expectGolden(const std::string& arguments, const std::string& goldenName) {
    SCOPED_TRACE(goldenName);
    const auto result = runCommand(std::string("'" SONDECO_DECODE "' ") + arguments);
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    const std::string output = withoutFooterTimes(result.output);
    if (std::getenv("SONDECO_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(Golden + goldenName, std::ios::binary) << output;
        return;
    }
    const std::string expected = readWhole(Golden + goldenName);
    ASSERT_FALSE(expected.empty()) << "no golden file " << goldenName;
    if (output == expected) return;
    // Name the first line that differs rather than dumping kilobytes.
    std::size_t at = 0;
    while (at < output.size() && at < expected.size() && output[at] == expected[at]) ++at;
    const auto lineStart = [](const std::string& text, std::size_t position) {
        const auto start = text.rfind('\n', position == 0 ? 0 : position - 1);
        return start == std::string::npos ? 0 : start + 1;
    };
    const std::string ours = output.substr(lineStart(output, at), 300);
    const std::string theirs = expected.substr(lineStart(expected, at), 300);
    ADD_FAILURE() << "output differs from " << goldenName << " at byte " << at << "\n  now:      " << ours.substr(0, ours.find('\n'))
                  << "\n  expected: " << theirs.substr(0, theirs.find('\n'));
}

constexpr const char* Formats[] = {"pages", "frames", "json", "rtcm"};

TEST(DecodedOutputRegression, RealCapturesInEveryFormat) {
    for (const char* capture : {"sample.rtcm2", "naujoks-rtcm2.log", "rtcm2.bend.log"})
        for (const char* format : Formats)
            expectGolden(std::string("--rtcm -o ") + format + " - < '" SONDECO_TEST_DATA "/rtcm2/" + capture + "'",
                         std::string(capture) + "." + format);
}

TEST(DecodedOutputRegression, NoisyGeneratedBeaconsInEveryTextFormat) {
    struct Signal {
        const char* name;
        const char* rate;
        const char* freq;
        const char* ebN0;
        const char* seed;
    };
    // Noisy enough that parity failures, lost locks and relocks are part of what is pinned down.
    for (const Signal& signal :
         {Signal{"gen_200_950_10_3", "200", "950", "10", "3"}, Signal{"gen_100_700_11_2", "100", "700", "11", "2"}}) {
        const auto wav = scratchPath(std::string(signal.name) + ".wav");
        const auto made = runCommand(
            std::string("'" SONDECO_GEN "' --rate ") + signal.rate + " --freq " + signal.freq + " --ebn0 " + signal.ebN0 + " --seed " +
            signal.seed + " --seconds 120 --zcount 100 --types 1,3,5,6,7,9,16,31,32,33,34,35 --leading 1.3 '" + wav.string() + "'");
        ASSERT_EQ(made.exitCode, 0) << made.errors;
        for (const char* format : {"pages", "frames", "json"})
            expectGolden(
                std::string("--classic -r ") + signal.rate + " -f " + signal.freq + " -o " + format + " - < '" + wav.string() + "'",
                std::string(signal.name) + "." + format);
    }
}

}  // namespace
}  // namespace sondeco
