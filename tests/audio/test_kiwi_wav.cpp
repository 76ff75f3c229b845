// SPDX-License-Identifier: GPL-3.0-or-later
// kiwirecorder's IQ files with kiwi chunks, read through IqInput: every block's samples in order, the
// damage a recorder that died or a disk leaves, the GPS time that dates the start; and what IqInput
// measures of the receiver (DC offset, IQ imbalance) from a recording of noise with known faults.
#include "audio/iq_input.h"
#include "audio/kiwi_wav.h"
#include "audio/recording_tuning.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <fstream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace sondeco {
namespace {

void put16(std::string& bytes, unsigned value) { bytes += {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)}; }
void put32(std::string& bytes, std::uint32_t value) {
    put16(bytes, value & 0xFFFF);
    put16(bytes, value >> 16);
}

struct Block {
    KiwiGpsTime time;
    std::vector<std::int16_t> iq;  // I and Q interleaved
};

// As kiwirecorder writes it: the RIFF size still the placeholder it starts with, fmt, then a kiwi
// and a data chunk for each block. `chunkEnds` gets where each chunk ends.
std::string kiwiWav(std::uint32_t rate, const std::vector<Block>& blocks, std::vector<std::size_t>* chunkEnds = nullptr) {
    std::string bytes = "RIFF";
    put32(bytes, 100);
    bytes += "WAVEfmt ";
    put32(bytes, 16);
    for (const unsigned field : {1u, 2u}) put16(bytes, field);
    put32(bytes, rate);
    put32(bytes, rate * 4);
    for (const unsigned field : {4u, 16u}) put16(bytes, field);
    for (const Block& block : blocks) {
        bytes += "kiwi";
        put32(bytes, 10);
        bytes += {static_cast<char>(block.time.sinceFix), 0};
        put32(bytes, block.time.weekSeconds);
        put32(bytes, block.time.nanoseconds);
        if (chunkEnds) chunkEnds->push_back(bytes.size());
        bytes += "data";
        put32(bytes, static_cast<std::uint32_t>(2 * block.iq.size()));
        for (const std::int16_t value : block.iq) put16(bytes, static_cast<std::uint16_t>(value));
        if (chunkEnds) chunkEnds->push_back(bytes.size());
    }
    return bytes;
}

// Three blocks of 512, 512 and 300 samples of codes of every size, two of them at the range's ends.
std::vector<Block> testBlocks() {
    std::vector<Block> blocks(3);
    std::uint32_t state = 12345;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        for (std::size_t n = 0; n < (b < 2 ? 1024u : 600u); ++n) {
            state = state * 1103515245u + 12345u;
            blocks[b].iq.push_back(static_cast<std::int16_t>(std::clamp(static_cast<int>(state >> 16) - 32768, -32766, 32766)));
        }
    }
    blocks[0].iq[0] = -32768;
    blocks[1].iq[301] = 32767;
    return blocks;
}

// The first `count` samples of `blocks`, as IqInput should give them.
std::vector<std::complex<float>> samplesOf(const std::vector<Block>& blocks, std::size_t count) {
    std::vector<std::complex<float>> samples;
    for (const Block& block : blocks)
        for (std::size_t i = 0; i < block.iq.size(); i += 2) samples.emplace_back(block.iq[i] / 32768.0f, block.iq[i + 1] / 32768.0f);
    samples.resize(count);
    return samples;
}

std::vector<std::complex<float>> readAll(IqInput& input) {
    std::vector<std::complex<float>> samples;
    std::vector<std::complex<float>> block(317);  // an odd size: its edges never line up with the chunks'
    for (std::size_t got = block.size(); got == block.size();) {
        got = input.read(block);
        samples.insert(samples.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got));
    }
    return samples;
}

TEST(KiwiWav, EveryBlockIsReadInOrderAtTheFilesRateByNameAndFromMemory) {
    const std::vector<Block> blocks = testBlocks();
    for (const std::uint32_t rate : {12000u, 20250u}) {
        const std::string bytes = kiwiWav(rate, blocks);
        const auto path = testing::scratchPath("kiwi.wav");
        std::ofstream(path, std::ios::binary) << bytes;
        for (const bool byName : {true, false}) {
            IqInput input;
            std::string error;
            ASSERT_TRUE(byName ? input.openFile(path.string(), error) : input.openFileInMemory(bytes, error)) << error;
            EXPECT_EQ(input.sampleRate(), static_cast<int>(rate));
            EXPECT_EQ(readAll(input), samplesOf(blocks, 1324));
            EXPECT_EQ(input.error(), "");
            EXPECT_EQ(input.clippedSamples(), 2u);
        }
    }
}

TEST(KiwiWav, DamageGivesTheSamplesBeforeItThenSaysWhat) {
    const std::vector<Block> blocks = testBlocks();
    std::vector<std::size_t> ends;
    const std::string whole = kiwiWav(12000, blocks, &ends);
    const auto open = [](const std::string& bytes, IqInput& input) {
        std::string error;
        EXPECT_TRUE(input.openFileInMemory(bytes, error)) << error;
    };

    // Cut anywhere after the first kiwi chunk's name: the whole samples before the cut, and a word
    // unless the cut falls between two chunks.
    for (std::size_t length = 40; length <= whole.size(); ++length) {
        std::size_t expected = 0;
        for (std::size_t c = 1; c < ends.size(); c += 2) expected += std::min(ends[c], std::max(length, ends[c - 1] + 8)) - ends[c - 1] - 8;
        const std::string cut = whole.substr(0, length);
        IqInput input;
        open(cut, input);
        ASSERT_EQ(readAll(input), samplesOf(blocks, expected / 4)) << "cut at " << length;
        EXPECT_EQ(input.error().empty(), std::find(ends.begin(), ends.end(), length) != ends.end()) << length << ": " << input.error();
    }

    // Sizes a damaged header gives (at the second block unless said): the blocks before it, and why not more.
    const auto withSize = [&whole](std::size_t at, std::uint32_t size) {
        std::string bytes = whole;
        std::string field;
        put32(field, size);
        bytes.replace(at + 4, 4, field);
        return bytes;
    };
    const std::string second = std::to_string(ends[2]);
    struct Case {
        std::string bytes;
        std::size_t samples;
        std::string error;
    };
    for (const Case& c : std::vector<Case>{
             {withSize(ends[2], 2047), 512,
              "has a data chunk at byte " + second + " of 2047 bytes, not a whole number of IQ samples (4 bytes each)"},
             {withSize(ends[2], 0x7FFFFFF0), 512,
              "has a data chunk at byte " + second + " that announces 2147483632 bytes, more than any block kiwirecorder writes"},
             {withSize(ends[2], 1024), 512,
              "is damaged at byte " + std::to_string(ends[2] + 8 + 1024) + ": no chunk starts there, after the data chunk at byte " +
                  second + " (its size is wrong, or the bytes are damaged)"},
             {withSize(ends[4], 4096), 1324,
              "is cut short: its data chunk at byte " + std::to_string(ends[4]) + " holds 1200 of the 4096 bytes it announces"},
             {withSize(ends[1], 4), 512,
              "has a kiwi chunk at byte " + std::to_string(ends[1]) + " of 4 bytes, too short for the GPS time it holds (10 bytes)"},
         }) {
        IqInput input;
        open(c.bytes, input);
        EXPECT_EQ(readAll(input), samplesOf(blocks, c.samples)) << c.error;
        EXPECT_EQ(input.error(), c.error);
    }
    IqInput input;
    std::string error;
    std::string mono = whole;
    mono[22] = 1;
    EXPECT_FALSE(input.openFileInMemory(mono, error));
    EXPECT_EQ(error, "has 1 channel; IQ needs two (I left, Q right)");

    // Bytes changed at random anywhere after those that tell the form, and cuts: nothing read out of
    // bounds (the sanitizers watch), no more samples than the bytes hold, every one within full scale.
    std::mt19937 random(7);
    for (int trial = 0; trial < 3000; ++trial) {
        std::string bytes = whole.substr(0, std::uniform_int_distribution<std::size_t>(41, whole.size())(random));
        for (int flips = 1 + trial % 8; flips > 0; --flips)
            bytes[std::uniform_int_distribution<std::size_t>(40, bytes.size() - 1)(random)] = static_cast<char>(random());
        IqInput damaged;
        if (!damaged.openFileInMemory(bytes, error)) continue;
        const auto samples = readAll(damaged);
        EXPECT_LE(samples.size() * 4, bytes.size());
        for (const auto& sample : samples) ASSERT_TRUE(std::abs(sample.real()) <= 1.0f && std::abs(sample.imag()) <= 1.0f);
    }
}

TEST(KiwiWav, TheFirstUsableGpsTimeDatesTheStartOnTheDayTheNameGives) {
    // The name says 20:30:00 (the computer's clock when the first block came); the first sample was
    // at 2024-01-15T20:29:57.25Z, Monday: 1 day, 20:29:57.25 and 18 leap seconds into the GPS week.
    // The first block carries the zeros of a connection's start; the second is stamped 512 samples on.
    const double secondStamp = 86400 + 73797.25 + 18 + 512 / 12000.0;
    struct Case {
        std::uint8_t sinceFix;
        double stamp;
        std::int64_t start;
        bool fromGps;
    };
    for (const Case& c : {Case{0, secondStamp, 1705350597, true}, Case{255, secondStamp, 1705350600, false},
                          Case{0, secondStamp + 3 * 3600, 1705350600, false}}) {
        const auto seconds = static_cast<std::uint32_t>(c.stamp);
        const auto nanoseconds = static_cast<std::uint32_t>(std::lround((c.stamp - seconds) * 1e9));
        const std::vector<Block> blocks{{{0, 0, 0}, std::vector<std::int16_t>(1024)}, {{c.sinceFix, seconds, nanoseconds}, {1, 2}}};
        const std::string bytes = kiwiWav(12000, blocks);
        const auto path = testing::scratchPath("20240115T203000Z_304000_iq.wav");
        std::ofstream(path, std::ios::binary) << bytes;
        const RecordingTuning tuning = readRecordingTuning(path.string());
        EXPECT_EQ(tuning.centreHz, 304000.0);
        EXPECT_EQ(tuning.startUtcSeconds, c.start) << +c.sinceFix << " " << c.stamp;
        EXPECT_EQ(tuning.startFromGps, c.fromGps) << +c.sinceFix << " " << c.stamp;
        if (c.fromGps) {
            const auto start = tuningFromWavBytes(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
            EXPECT_NEAR(start.gpsWeekSeconds.value_or(0.0), secondStamp - 512 / 12000.0, 1e-6);
        }
    }
}

// What the writer makes (sondeco-gen --format kiwi) reads back sample for sample, in blocks of 512
// with a short last one, and its stamps date the start the name gives, to the second.
TEST(KiwiWav, TheWriterMakesWhatTheReaderAndTheStartTakeBack) {
    const auto path = testing::scratchPath("20240115T203000Z_300000_iq.wav");
    std::vector<std::complex<float>> written(1300);
    for (std::size_t n = 0; n < written.size(); ++n)
        written[n] = {static_cast<float>(0.9 * std::sin(0.01 * static_cast<double>(n))),
                      n == 7 ? 1.5f : static_cast<float>(std::cos(0.02 * static_cast<double>(n))) * 0.5f};
    KiwiWavWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(path.string(), 20250, 1705350600.0, error)) << error;
    ASSERT_TRUE(writer.write(written.data(), 1000));
    ASSERT_TRUE(writer.write(written.data() + 1000, 300));
    ASSERT_TRUE(writer.close(error)) << error;

    IqInput input;
    ASSERT_TRUE(input.openFile(path.string(), error)) << error;
    EXPECT_EQ(input.sampleRate(), 20250);
    std::vector<std::complex<float>> read(2000);
    ASSERT_EQ(input.read(read), written.size()) << input.error();
    EXPECT_EQ(input.error(), "");
    for (std::size_t n = 0; n < written.size(); ++n) {
        const std::complex<float> expected = {std::clamp(written[n].real(), -1.0f, 32767.0f / 32768.0f),
                                              std::clamp(written[n].imag(), -1.0f, 32767.0f / 32768.0f)};
        ASSERT_NEAR(std::abs(read[n] - expected), 0.0, 2.0 / 32768.0) << n;
    }
    EXPECT_EQ(input.clippedSamples(), 1u);
    const RecordingTuning tuning = readRecordingTuning(path.string());
    EXPECT_EQ(tuning.startUtcSeconds, 1705350600);
    EXPECT_TRUE(tuning.startFromGps);
}

TEST(KiwiWav, DcOffsetAndIqImbalanceOfARecordingOfNoiseAreMeasuredWhileItIsRead) {
    // Complex white noise through a receiver whose I path has 1.05 times Q's gain and whose Q axis
    // leans 3 degrees towards I's, with the oscillator leaking through as DC.
    const std::complex<double> dc(0.012, -0.007);
    const auto recording = [&dc](double gain, double phaseDegrees) {
        const double phase = phaseDegrees * std::numbers::pi / 180.0;
        std::mt19937 random(99);
        std::normal_distribution<double> noise(0.0, 0.1);
        std::vector<Block> blocks(2048);
        for (Block& block : blocks) {
            for (int n = 0; n < 512; ++n) {
                const double i = noise(random), q = noise(random);
                for (const double value : {gain * i + dc.real(), q * std::cos(phase) + i * std::sin(phase) + dc.imag()})
                    block.iq.push_back(static_cast<std::int16_t>(std::lround(value * 32768.0)));
            }
        }
        return kiwiWav(12000, blocks);
    };
    const double gain = 1.05, phase = 3.0 * std::numbers::pi / 180.0;
    const double imageRejection =
        10 * std::log10((1 + 2 * gain * std::cos(phase) + gain * gain) / (1 - 2 * gain * std::cos(phase) + gain * gain));
    for (const bool balanced : {false, true}) {
        const std::string bytes = balanced ? recording(1.0, 0.0) : recording(gain, 3.0);
        IqInput input;
        std::string error;
        ASSERT_TRUE(input.openFileInMemory(bytes, error)) << error;
        EXPECT_FALSE(input.imbalance());
        EXPECT_EQ(readAll(input).size(), 2048u * 512u);
        EXPECT_NEAR(input.dcOffset().real(), dc.real(), 1e-3);
        EXPECT_NEAR(input.dcOffset().imag(), dc.imag(), 1e-3);
        const auto imbalance = input.imbalance();
        ASSERT_TRUE(imbalance);
        EXPECT_NEAR(imbalance->gainDb, balanced ? 0.0 : 20 * std::log10(gain), 0.05);
        EXPECT_NEAR(imbalance->phaseDegrees, balanced ? 0.0 : 3.0, 0.3);
        if (balanced) {
            EXPECT_GT(imbalance->imageRejectionDb, 50.0);
        } else {
            EXPECT_NEAR(imbalance->imageRejectionDb, imageRejection, 1.0);
        }
    }
}

}  // namespace
}  // namespace sondeco
