// The sondeco-gen command: its options, its failures and the file it writes.

#include "audio/audio_input.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace sondeco {
namespace {

using testing::runCommand;
using testing::scratchPath;

std::string generator(const std::string& arguments) { return std::string("'" SONDECO_GEN "' ") + arguments; }

TEST(SondecoGen, HelpOnStandardOutputAndUsageErrorsExitWithStatus2) {
    for (const char* help : {"-h", "--help"}) {
        const auto result = runCommand(generator(help));
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.output.rfind("Usage: sondeco-gen", 0), 0u) << result.output;
        EXPECT_TRUE(result.errors.empty());
    }
    const auto output = scratchPath("never.wav");
    std::filesystem::remove(output);  // left by an earlier run that went wrong
    for (std::string arguments :
         {"", "--rate 150 OUT", "OUT --rate", "--rate=75 OUT", "--seconds 0 OUT", "--seconds 2x OUT", "--station 1024 OUT",
          "--types 9,2 OUT", "--types 9, OUT", "--types '' OUT", "--freq 50 OUT", "--zcount 6000 OUT", "--ebn0 loud OUT",
          "--offset 30000 OUT", "--seed -1 OUT", "--bogus OUT", "OUT OUT", "--leading 5 --seconds 2 OUT", "--rtcm x.rtcm2 --types 9 OUT"}) {
        for (auto at = arguments.find("OUT"); at != std::string::npos; at = arguments.find("OUT")) {
            arguments.replace(at, 3, output.string());
        }
        const auto result = runCommand(generator(arguments));
        EXPECT_EQ(result.exitCode, 2) << arguments;
        EXPECT_NE(result.errors.find("Usage: sondeco-gen"), std::string::npos) << arguments;
        EXPECT_TRUE(result.output.empty()) << arguments;
        EXPECT_FALSE(std::filesystem::exists(output)) << arguments;
    }
}

TEST(SondecoGen, FileProblemsAreOneLineNamingTheFileAndStatus1) {
    const std::string unwritable = scratchPath("no-such-directory").string() + "/out.wav";
    const std::string missing = scratchPath("missing.rtcm2").string();
    for (const std::string& arguments :
         {unwritable, "--rtcm '" + missing + "' " + scratchPath("x.wav").string(), std::string("/dev/full")}) {
        const auto result = runCommand(generator(arguments));
        EXPECT_EQ(result.exitCode, 1) << arguments;
        const std::string named = arguments == unwritable ? unwritable : arguments == "/dev/full" ? arguments : missing;
        EXPECT_EQ(result.errors.find("sondeco-gen: " + named + " "), 0u) << result.errors;
        EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
    }
    // A full disk is a failure, not a short file passed off as written.
    EXPECT_EQ(runCommand(generator("/dev/full")).errors, "sondeco-gen: /dev/full cannot be written: No space left on device\n");
}

struct WavContent {
    int channels = 0;
    int sampleRate = 0;
    std::string format;
    std::vector<std::int16_t> samples;  // interleaved
};

WavContent readWav(const std::filesystem::path& path) {
    AudioInput input;
    std::string error;
    EXPECT_TRUE(input.openFile(path.string(), {0, 2}, error)) << error;
    WavContent content{input.inputChannels(), input.inputRate(), input.formatName(), {}};
    std::vector<double> block(2 * 4800);
    while (const std::size_t frames = input.read(block)) {
        for (std::size_t i = 0; i < 2 * frames; ++i) content.samples.push_back(static_cast<std::int16_t>(block[i]));
    }
    EXPECT_EQ(input.error(), "");
    return content;
}

TEST(SondecoGen, WritesStereoWavOfTheRequestedLengthSignalLeftSilenceRight) {
    for (const std::string options : {"--seconds 2.5 --zcount 100 --ebn0 20 --seed 3 --rate 100 --freq 600",
                                      "--seconds 2.5 --rtcm '" SONDECO_TEST_DATA "/rtcm2/sample.rtcm2'"}) {
        const auto path = scratchPath("beacon.wav");
        const auto result = runCommand(generator(options + " " + path.string()));
        ASSERT_EQ(result.exitCode, 0) << options << "\n" << result.errors;
        EXPECT_TRUE(result.output.empty() && result.errors.empty()) << result.output << result.errors;
        const WavContent wav = readWav(path);
        EXPECT_EQ(wav.channels, 2);
        EXPECT_EQ(wav.sampleRate, 48000);
        EXPECT_EQ(wav.format, "WAV (Microsoft) Signed 16 bit PCM");
        ASSERT_EQ(wav.samples.size(), 2u * 120000u) << options;
        double leftPower = 0.0;
        int rightNonZero = 0;
        for (std::size_t i = 0; i < wav.samples.size(); i += 2) {
            leftPower += static_cast<double>(wav.samples[i]) * wav.samples[i];
            rightNonZero += wav.samples[i + 1] != 0;
        }
        EXPECT_GT(std::sqrt(leftPower / 120000), 3000.0) << options;
        EXPECT_EQ(rightNonZero, 0) << options;

        // Given the Z-count and the seed, the file is the same every time.
        const auto again = scratchPath("again.wav");
        ASSERT_EQ(runCommand(generator(options + " " + again.string())).exitCode, 0);
        EXPECT_EQ(testing::readWhole(again), testing::readWhole(path)) << options;
    }
}

}  // namespace
}  // namespace sondeco
