// SPDX-License-Identifier: GPL-3.0-or-later
// The sondeco-gen command: its options, its failures and the file it writes.

#include "audio/audio_input.h"
#include "audio/iq_input.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
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
          "--offset 30000 OUT", "--seed -1 OUT", "--bogus OUT", "OUT OUT", "--leading 5 --seconds 2 OUT", "--rtcm x.rtcm2 --types 9 OUT",
          // The band: signals outside the stream, rates and stations no beacon has, options that do not go together.
          "--iq --beacon 420000 OUT", "--iq --center-freq 290000 --beacon 311500,200 --sample-rate 48000 OUT", "--beacon 21600 OUT",
          "--iq --carrier 100000 OUT", "--iq --beacon 287500,75 OUT", "--iq --beacon 287500,100,1024 OUT", "--beacon 800,100,1,2,3 OUT",
          "--beacon 800, OUT", "--beacon 8x OUT", "--iq --format cu8 OUT", "--iq --sample-rate 12000000 OUT", "--center-freq 300000 OUT",
          "--beacon 800 --freq 900 OUT", "--iq --static 1,20 OUT", "--iq --seconds 86400 --sample-rate 10000000 OUT",
          // The air's conditions: a fading that is neither kind, a spread out of range, a keying or identifier not known.
          "--fading 3 OUT", "--fading rayleigh OUT", "--fading rayleigh,20 OUT", "--carrier 1500,50,blink OUT",
          "--carrier '1500,50,morse D-G' OUT", "--carrier 1500,50,morse,x OUT"}) {
        for (auto at = arguments.find("OUT"); at != std::string::npos; at = arguments.find("OUT")) {
            arguments.replace(at, 3, output.string());
        }
        const auto result = runCommand(generator(arguments));
        EXPECT_EQ(result.exitCode, 2) << arguments;
        EXPECT_EQ(result.errors.rfind("sondeco-gen: ", 0), 0u) << result.errors;
        EXPECT_TRUE(result.errors.ends_with("\nTry 'sondeco-gen --help' for more information.\n")) << result.errors;
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

// The air's conditions reach the file: a Rayleigh-faded beacon spends about a tenth of its time 10 dB
// or more below its mean, a steady one never; a carrier keyed with Morse is silent between its dots.
TEST(SondecoGen, FadingAndKeyedCarriersReachTheFile) {
    const auto path = scratchPath("conditions.wav");
    const auto shareOfQuietPieces = [&](const std::string& options) {
        const auto result = runCommand(generator(options + " --seconds 120 " + path.string()));
        EXPECT_EQ(result.exitCode, 0) << options << "\n" << result.errors;
        const WavContent wav = readWav(path);
        std::vector<double> powers;
        for (std::size_t from = 0; from + 2 * 480 <= wav.samples.size(); from += 2 * 480) {
            double power = 0.0;
            for (std::size_t i = from; i < from + 2 * 480; i += 2) power += static_cast<double>(wav.samples[i]) * wav.samples[i];
            powers.push_back(power);
        }
        double mean = 0.0;
        for (const double power : powers) mean += power / static_cast<double>(powers.size());
        return static_cast<double>(std::count_if(powers.begin(), powers.end(), [&](double p) { return p < 0.1 * mean; })) /
               static_cast<double>(powers.size());
    };
    EXPECT_NEAR(shareOfQuietPieces("--freq 1317.3 --fading rayleigh,2"), 1.0 - std::exp(-0.1), 0.03);
    EXPECT_EQ(shareOfQuietPieces("--freq 1317.3"), 0.0);
    // "E" at 10 wpm: a 0.12 s dot in every 0.96 s; without a beacon, hardly anything but the carrier.
    EXPECT_GT(shareOfQuietPieces("--beacon 1317.3,200,491,-20 --carrier '1467.3,90,morse E'"), 0.8);
}

TEST(SondecoGen, BandAsRawIqTwoChannelWavOrAudioOfSeveralBeacons) {
    // Raw IQ through standard output, as rtl_sdr would pipe it; a two-channel WAV file of floats.
    const auto rms = [](const std::vector<std::complex<float>>& samples) {
        double power = 0.0;
        for (const auto& sample : samples) power += static_cast<double>(std::norm(sample)) / static_cast<double>(samples.size());
        return std::sqrt(power);
    };
    auto result = runCommand(generator("--iq --seconds 0.5 --sample-rate 96000 --format cs16 --beacon 300000,100,1,10 --carrier 310000 -"));
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    ASSERT_EQ(result.output.size(), 48000u * 4u);
    std::vector<std::complex<float>> samples(48000);
    decodeIqSamples(IqFormat::Cs16, reinterpret_cast<const unsigned char*>(result.output.data()), samples.size(), samples.data());
    EXPECT_NEAR(rms(samples), 0.2, 0.01);

    const auto wav = scratchPath("band.wav");
    result = runCommand(generator("--iq --seconds 0.5 --format cf32 --beacon 287500 --beacon 320500,200,5,15 " + wav.string()));
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    IqInput input;
    std::string error;
    ASSERT_TRUE(input.openFile(wav.string(), error)) << error;
    EXPECT_EQ(input.sampleRate(), 250000);
    samples.resize(200000);
    ASSERT_EQ(input.read(samples), 125000u);
    samples.resize(125000);
    EXPECT_NEAR(rms(samples), 0.2, 0.01);

    // Several beacons at audio tones: the single beacon's file layout, signal left, right silent.
    const auto audio = scratchPath("scan.wav");
    result = runCommand(generator("--beacon 800 --beacon 1300,100 --beacon 1800,50,9,12 --seconds 2 " + audio.string()));
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    const WavContent content = readWav(audio);
    EXPECT_EQ(content.channels, 2);
    EXPECT_EQ(content.sampleRate, 48000);
    ASSERT_EQ(content.samples.size(), 2u * 96000u);
    double leftPower = 0.0, rightPower = 0.0;
    for (std::size_t i = 0; i < content.samples.size(); i += 2) {
        if (i >= 96000) leftPower += std::pow(content.samples[i] / 32768.0, 2) / 48000;  // the second second: every beacon has started
        rightPower += std::pow(content.samples[i + 1] / 32768.0, 2);
    }
    EXPECT_NEAR(std::sqrt(leftPower), 0.2, 0.01);
    EXPECT_EQ(rightPower, 0.0);

    // A full disk is a failure, not a short stream passed off as written.
    EXPECT_EQ(runCommand(generator("--iq /dev/full")).errors, "sondeco-gen: /dev/full cannot be written: No space left on device\n");
}

}  // namespace
}  // namespace sondeco
