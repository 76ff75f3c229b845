// SPDX-License-Identifier: GPL-3.0-or-later
// Where a recording was tuned and when it began, read from what SDR programs write: the auxi chunk of
// a WAV file, and the names the popular programs give their files.
#include "audio/recording_tuning.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sondeco {
namespace {

void put16(std::vector<unsigned char>& bytes, unsigned value) {
    bytes.push_back(static_cast<unsigned char>(value & 0xFFu));
    bytes.push_back(static_cast<unsigned char>(value >> 8));
}

void put32(std::vector<unsigned char>& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
}

void putId(std::vector<unsigned char>& bytes, const char* id) { bytes.insert(bytes.end(), id, id + 4); }

// RIFF/WAVE with a fmt chunk, an odd-sized chunk of another program's, an auxi chunk as SDR# and
// HDSDR write it (start and stop as SYSTEMTIME, then the centre in hertz and more fields) and data.
std::vector<unsigned char> wavWithAuxi(std::uint32_t centreHz) {
    std::vector<unsigned char> bytes;
    putId(bytes, "RIFF");
    put32(bytes, 0);
    putId(bytes, "WAVE");
    putId(bytes, "fmt ");
    put32(bytes, 16);
    for (const unsigned field : {1u, 2u}) put16(bytes, field);  // PCM, two channels
    put32(bytes, 96000);
    put32(bytes, 96000 * 4);
    for (const unsigned field : {4u, 16u}) put16(bytes, field);
    putId(bytes, "junk");
    put32(bytes, 3);
    bytes.insert(bytes.end(), {1, 2, 3, 0});  // and its pad byte
    putId(bytes, "auxi");
    put32(bytes, 164);
    for (const unsigned field : {2024u, 1u, 1u, 15u, 20u, 30u, 0u, 250u}) put16(bytes, field);  // start
    for (const unsigned field : {2024u, 1u, 1u, 15u, 20u, 31u, 30u, 0u}) put16(bytes, field);  // stop
    put32(bytes, centreHz);
    bytes.resize(bytes.size() + 164 - 36);
    putId(bytes, "data");
    put32(bytes, 0);
    return bytes;
}

TEST(RecordingTuning, FromTheAuxiChunkAndFromTheNamesProgramsGive) {
    const RecordingTuning fromChunk = tuningFromWavBytes(wavWithAuxi(304000));
    ASSERT_TRUE(fromChunk.centreHz);
    EXPECT_EQ(*fromChunk.centreHz, 304000.0);
    EXPECT_EQ(fromChunk.startUtcSeconds, 1705350600);  // 2024-01-15T20:30:00Z
    EXPECT_EQ(fromChunk.source, "its auxi chunk");
    // Cut before the chunk, or not a WAV file at all: nothing.
    const std::vector<unsigned char> whole = wavWithAuxi(304000);
    EXPECT_FALSE(tuningFromWavBytes(std::span(whole).first(60)).centreHz);
    EXPECT_FALSE(tuningFromWavBytes(std::vector<unsigned char>(200, 'x')).centreHz);

    struct Named {
        const char* name;
        double centreHz;  // 0: none
        std::int64_t start;  // 0: none
    };
    const Named names[] = {
        {"/recordings/20240115T203000Z_300000_iq.wav", 300000.0, 1705350600},  // kiwirecorder
        {"SDRSharp_20240115_203000Z_304000Hz_IQ.wav", 304000.0, 1705350600},
        {"HDSDR_20240115_203000Z_300kHz_RF.wav", 300000.0, 1705350600},
        {"baseband_304000Hz_20-30-00_15-01-2024.wav", 304000.0, 0},  // SDR++ (local time: not taken)
        {"SDRconnect_IQ_20240115_203000_0.3045MHZ.wav", 304500.0, 0},
        {"capture_2048000.cu8", 0.0, 0},  // a number without a unit is no frequency
        {"my300kHzfile.wav", 0.0, 0},  // nor one inside a word
    };
    for (const Named& named : names) {
        const RecordingTuning tuning = tuningFromFileName(named.name);
        EXPECT_NEAR(tuning.centreHz.value_or(0.0), named.centreHz, 1e-6) << named.name;
        EXPECT_EQ(tuning.startUtcSeconds.value_or(0), named.start) << named.name;
    }
    EXPECT_FALSE(readRecordingTuning("-").centreHz);
}

}  // namespace
}  // namespace sondeco
