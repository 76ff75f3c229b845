// SPDX-License-Identifier: GPL-3.0-or-later
// The sondeco-decode command: real captures against gpsd, generated audio end to end (from a file, a
// pipe and raw PCM; every file format, rate and raw format), the re-encoded RTCM stream read back by
// gpsd, and every way its input can fail.

#include "audio/sound_file_writer.h"
#include "tests/support/test_support.h"

#include <pty.h>
#include <sndfile.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace sondeco {
namespace {

using testing::jsonNumbers;
using testing::jsonTokens;
using testing::lines;
using testing::readWhole;
using testing::runCommand;
using testing::scratchPath;

const std::string Data = SONDECO_TEST_DATA "/rtcm2/";

std::string decoder(const std::string& arguments) { return std::string("'" SONDECO_DECODE "' ") + arguments; }
std::string generator(const std::string& arguments) { return std::string("'" SONDECO_GEN "' ") + arguments; }

std::vector<std::string> rtcm2Lines(const std::string& output) {
    std::vector<std::string> result;
    for (std::string line : lines(output)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find("\"class\":\"RTCM2\"") != std::string::npos) result.push_back(line);
    }
    return result;
}

// The frame header of a JSON line, for lining two streams up.
std::vector<double> header(const std::string& line) {
    std::vector<double> fields;
    for (const char* key : {"type", "station_id", "zcount", "seqnum", "length", "station_health"})
        fields.push_back(jsonNumbers(line, key).at(0));
    return fields;
}

// Where `ours` starts inside `theirs` (or theirs inside ours): one of them may have missed a few
// leading frames. Fails the test if they have no first frame in common.
std::pair<std::size_t, std::size_t> align(const std::vector<std::string>& ours, const std::vector<std::string>& theirs) {
    for (std::size_t j = 0; j < theirs.size() && j < 8; ++j)
        if (header(ours.at(0)) == header(theirs[j])) return {0, j};
    for (std::size_t i = 0; i < ours.size() && i < 8; ++i)
        if (header(ours[i]) == header(theirs.at(0))) return {i, 0};
    ADD_FAILURE() << "no frame in common";
    return {ours.size(), theirs.size()};
}

// One of our JSON lines against gpsd's for the same frame: every field gpsd decodes must agree, where
// gpsd's raw satellite ID 0 is our 32 and its numbers for the not-available patterns are our null.
void expectSameFrame(const std::string& ours, const std::string& theirs) {
    SCOPED_TRACE("ours:   " + ours + "\ngpsd's: " + theirs);
    EXPECT_EQ(header(ours), header(theirs));
    const int type = static_cast<int>(jsonNumbers(theirs, "type").at(0));
    std::vector<std::string> keys;
    if (type == 1 || type == 9) keys = {"udre", "iod"};
    if (type == 31) keys = {"udre", "change", "tod"};
    if (type == 3) keys = {"x", "y", "z"};
    if (type == 5) keys = {"iodl", "health", "snr", "health_en", "new_data", "los_warning", "tou"};
    if (type == 7) keys = {"lat", "lon", "range", "frequency", "health", "bitrate"};
    for (const std::string& key : keys) EXPECT_EQ(jsonTokens(ours, key), jsonTokens(theirs, key)) << key;
    if (type == 1 || type == 9 || type == 31 || type == 5) {
        const auto ourIds = jsonNumbers(ours, "ident");
        const auto theirIds = jsonNumbers(theirs, "ident");
        ASSERT_EQ(ourIds.size(), theirIds.size());
        for (std::size_t s = 0; s < ourIds.size(); ++s) EXPECT_EQ(ourIds[s], theirIds[s] == 0 ? 32 : theirIds[s]);
    }
    if (type == 1 || type == 9 || type == 31) {
        for (const char* key : {"prc", "rrc"}) {
            const auto mine = jsonTokens(ours, key);
            const auto gpsds = jsonTokens(theirs, key);
            ASSERT_EQ(mine.size(), gpsds.size());
            for (std::size_t s = 0; s < mine.size(); ++s) {
                if (mine[s] == "null") {
                    const double raw = std::stod(gpsds[s]);
                    EXPECT_TRUE(raw == -655.36 || raw == -10485.76 || raw == -0.256 || raw == -4.096) << key << " " << gpsds[s];
                } else {
                    EXPECT_EQ(mine[s], gpsds[s]) << key;
                }
            }
        }
    }
    if (type == 16) {
        const auto text = [](const std::string& line) { return line.substr(line.find("\"message\":")); };
        EXPECT_EQ(text(ours), text(theirs));
    }
}

// From the first frame in common to the end of both: no frame lost or invented, each one the same.
// With `part`, ours may end earlier (a recording of part of the stream).
void expectSameStream(const std::vector<std::string>& ours, const std::vector<std::string>& theirs, std::size_t atLeast,
                      bool part = false) {
    ASSERT_FALSE(ours.empty());
    ASSERT_FALSE(theirs.empty());
    const auto [i, j] = align(ours, theirs);
    if (part) {
        EXPECT_LE(ours.size() - i, theirs.size() - j) << "frames invented";
    } else {
        EXPECT_EQ(ours.size() - i, theirs.size() - j) << "frames lost or invented after the first lock";
    }
    const std::size_t common = std::min(ours.size() - i, theirs.size() - j);
    EXPECT_GE(common, atLeast);
    for (std::size_t k = 0; k < common; ++k) expectSameFrame(ours[i + k], theirs[j + k]);
}

class RealCaptureJson : public ::testing::TestWithParam<const char*> {};

TEST_P(RealCaptureJson, AgreesWithGpsdsDecoding) {
    const auto result = runCommand(decoder("--rtcm -o json '" + Data + GetParam() + "'"));
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_TRUE(result.errors.empty()) << result.errors;
    std::ifstream expected(Data + GetParam() + ".chk");
    const std::string chk{std::istreambuf_iterator<char>(expected), std::istreambuf_iterator<char>()};
    expectSameStream(rtcm2Lines(result.output), rtcm2Lines(chk), 80);
}

INSTANTIATE_TEST_SUITE_P(Captures, RealCaptureJson, ::testing::Values("sample.rtcm2", "naujoks-rtcm2.log", "rtcm2.bend.log"),
                         testing::fileParameterName);

// The three captures joined end to end, as when a receiver's feed is switched: every join cuts a
// frame and the decoder must lock again at once. We must find at least as many frames as gpsd does
// in the same bytes, and every frame of gpsd's expected output for each file, unchanged and in order.
TEST(SondecoDecode, JoinedCapturesRelockAtEveryJoin) {
    const auto joined = scratchPath("joined.rtcm2");
    std::ofstream(joined, std::ios::binary) << readWhole(Data + "sample.rtcm2") << readWhole(Data + "naujoks-rtcm2.log")
                                            << readWhole(Data + "rtcm2.bend.log");
    const auto ours = runCommand(decoder("--rtcm -o json '" + joined.string() + "'"));
    ASSERT_EQ(ours.exitCode, 0) << ours.errors;
    const auto theirs = runCommand("gpsdecode -j < '" + joined.string() + "'");
    ASSERT_EQ(theirs.exitCode, 0) << "gpsdecode (Debian's gpsd-clients) is needed: " << theirs.errors;
    const auto decoded = rtcm2Lines(ours.output);
    EXPECT_GE(decoded.size(), rtcm2Lines(theirs.output).size());

    std::vector<std::string> expected;
    for (const char* capture : {"sample.rtcm2", "naujoks-rtcm2.log", "rtcm2.bend.log"}) {
        const auto chk = rtcm2Lines(readWhole(Data + capture + ".chk"));
        expected.insert(expected.end(), chk.begin(), chk.end());
    }
    std::size_t next = 0;
    for (const std::string& frame : expected) {
        while (next < decoded.size() && header(decoded[next]) != header(frame)) ++next;
        ASSERT_LT(next, decoded.size()) << "not decoded: " << frame;
        expectSameFrame(decoded[next++], frame);
    }
}

// gpsd's packet sniffer does not recognise this capture as RTCM on its own (its first frames make it
// guess another protocol, and it prints a handful of garbage frames), so gpsd is first shown the
// stream of sample.rtcm2 and then this one, both re-encoded by us as one continuous stream. Once gpsd
// has settled on RTCM it decodes every frame, and those must agree with ours from the raw capture.
TEST(SondecoDecode, GlonassCaptureAgreesWithGpsdecodeRunNow) {
    const auto ours = runCommand(decoder("--rtcm -o json '" + Data + "testglo.rtcm2'"));
    ASSERT_EQ(ours.exitCode, 0) << ours.errors;
    const auto primed = scratchPath("primed.rtcm2");
    ASSERT_EQ(runCommand("cat '" + Data + "sample.rtcm2' '" + Data + "testglo.rtcm2' | " + decoder("--rtcm -o rtcm") + " > '" +
                         primed.string() + "'; test -s '" + primed.string() + "'")
                  .exitCode,
              0);
    const auto theirs = runCommand("gpsdecode -j < '" + primed.string() + "'");
    ASSERT_EQ(theirs.exitCode, 0) << "gpsdecode (Debian's gpsd-clients) is needed: " << theirs.errors;
    auto gpsd = rtcm2Lines(theirs.output);
    const auto sampleFrames = rtcm2Lines(runCommand(decoder("--rtcm -o json '" + Data + "sample.rtcm2'")).output).size();
    ASSERT_GT(gpsd.size(), sampleFrames);
    gpsd.erase(gpsd.begin(), gpsd.begin() + static_cast<std::ptrdiff_t>(sampleFrames));
    expectSameStream(rtcm2Lines(ours.output), gpsd, 1700);
}

TEST(SondecoDecode, RtcmOutputReadsBackAsTheSameFrames) {
    const auto reencoded = scratchPath("reencoded.rtcm2");
    const auto stream = runCommand(decoder("--rtcm -o rtcm '" + Data + "naujoks-rtcm2.log'"));
    ASSERT_EQ(stream.exitCode, 0);
    std::ofstream(reencoded, std::ios::binary) << stream.output;
    const auto direct = runCommand(decoder("--rtcm -o json '" + Data + "naujoks-rtcm2.log'"));
    const auto again = runCommand(decoder("--rtcm -o json '" + reencoded.string() + "'"));
    const auto gpsd = runCommand("gpsdecode -j < '" + reencoded.string() + "'");
    ASSERT_EQ(gpsd.exitCode, 0) << gpsd.errors;
    const auto first = rtcm2Lines(direct.output);
    const auto second = rtcm2Lines(again.output);
    ASSERT_EQ(first.size(), second.size());  // nothing lost: the stream starts on a frame
    for (std::size_t k = 0; k < first.size(); ++k) EXPECT_EQ(header(first[k]), header(second[k])) << k;
    expectSameStream(second, rtcm2Lines(gpsd.output), first.size() - 1);
}

class GeneratedAudio : public ::testing::TestWithParam<int> {};

// The capture's own bits, modulated: what comes out of the audio is what --rtcm reads from the bytes.
TEST_P(GeneratedAudio, FromAFileAPipeAndRawPcm) {
    const int rate = GetParam();
    const auto wav = scratchPath("beacon.wav");
    ASSERT_EQ(runCommand(generator("--rtcm '" + Data + "sample.rtcm2' --rate " + std::to_string(rate) +
                                   " --freq 650 --seconds 50 --ebn0 25 '" + wav.string() + "'"))
                  .exitCode,
              0);
    const auto sent = rtcm2Lines(runCommand(decoder("--rtcm -o json '" + Data + "sample.rtcm2'")).output);
    const std::string common = " -o json -f 650 -r " + std::to_string(rate);
    const auto fromFile = runCommand(decoder(common + " '" + wav.string() + "'"));
    ASSERT_EQ(fromFile.exitCode, 0) << fromFile.errors;
    const auto received = rtcm2Lines(fromFile.output);
    expectSameStream(received, sent, rate == 200 ? 30u : 14u, true);

    const auto fromPipe = runCommand("cat '" + wav.string() + "' | " + decoder(common));
    EXPECT_EQ(rtcm2Lines(fromPipe.output).size(), received.size());
    const auto raw = runCommand("tail -c +45 '" + wav.string() + "' | " + decoder(common + " --raw -"));
    EXPECT_EQ(rtcm2Lines(raw.output).size(), received.size());
    for (std::size_t k = 0; k < received.size() && k < rtcm2Lines(raw.output).size(); ++k)
        EXPECT_EQ(header(rtcm2Lines(raw.output)[k]), header(received[k]));
}

INSTANTIATE_TEST_SUITE_P(Rates, GeneratedAudio, ::testing::Values(100, 200));

TEST(SondecoDecode, PagesFramesAndStatistics) {
    const std::string capture = " '" + Data + "sample.rtcm2'";
    const auto pages = runCommand(decoder("--rtcm" + capture));
    ASSERT_EQ(pages.exitCode, 0);
    const auto pageLines = lines(pages.output);
    ASSERT_GE(pageLines.size(), 4u);
    EXPECT_EQ(pageLines[0], "=== Msg #9");
    EXPECT_EQ(pageLines[1], "Msg #9 : GPS Partial Correction Set");
    EXPECT_EQ(pageLines[2], "");
    EXPECT_EQ(pageLines[3], "Sat ID \tPseudorange    \tRange Rate     \tZ-Count        \tIOD  \tUser Error");
    EXPECT_EQ(pages.output.find('\r'), std::string::npos);

    const auto frames = runCommand(decoder("--rtcm -o frames --stats" + capture));
    ASSERT_FALSE(lines(frames.output).empty());
    EXPECT_EQ(lines(frames.output)[0], "Ref ID : 268 | Msg Type : 9 | Z-Count : 04:09.6 | Seq Num : 1 | Frame Len : 5 | Normal");
    EXPECT_NE(frames.errors.find("frames: 131\n  type 9: 131\n"), std::string::npos) << frames.errors;
    EXPECT_NE(frames.errors.find("parity failures: "), std::string::npos);
}

TEST(SondecoDecode, BadOptionsAndBadInputs) {
    for (const char* arguments : {"--bogus",
                                  "-r 150 x.wav",
                                  "-r",
                                  "--classic -f 805 x.wav",
                                  "--classic -f 1200 x.wav",
                                  "-f 4000 x.wav",
                                  "--classic -r 50 x.wav",
                                  "-f abc x.wav",
                                  "-o xml x.wav",
                                  "--raw --rtcm",
                                  "a.wav b.wav",
                                  "--stats=yes",
                                  "--format s24 x.raw",
                                  "--channels 0 x.raw",
                                  "--sample-rate 4000 x.raw",
                                  "--sample-rate 400000 x.raw",
                                  "--channel 0 x.wav",
                                  "--format f32 --rtcm x",
                                  "--channel 2 --rtcm x",
                                  "--raw --channel 3 x.raw",
                                  "--channels 1 --channel 2 x"}) {
        // One line that says what is wrong, then where help is: the whole usage would scroll it away.
        const auto result = runCommand(decoder(arguments));
        EXPECT_EQ(result.exitCode, 2) << arguments;
        EXPECT_EQ(result.errors.rfind("sondeco-decode: ", 0), 0u) << result.errors;
        EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 2) << result.errors;
        EXPECT_TRUE(result.errors.ends_with("\nTry 'sondeco-decode --help' for more information.\n")) << result.errors;
        EXPECT_TRUE(result.output.empty()) << arguments;
    }
    // In words a user knows, not the parser's.
    for (const auto& [arguments, said] : std::vector<std::pair<std::string, std::string>>{
             {"-r", "--rate needs a value"},
             {"-r 1 x.wav", "--rate: '1' is not one of 25, 50, 100 or 200"},
             {"--iq --center-freq 450q x", "--center-freq: '450q' is not a frequency (hertz, or with k, kHz, M or MHz)"},
             {"--channel 1.5 x.wav", "--channel: 1.5 is not a whole number"},
             {"--stats=yes x.wav", "--stats takes no value"},
             {"a.wav b.wav", "unexpected argument 'b.wav': one input is read at a time"},
             {"--bogus", "unknown option --bogus"}}) {
        const auto result = runCommand(decoder(arguments));
        EXPECT_EQ(result.errors.substr(0, result.errors.find('\n')), "sondeco-decode: " + said) << arguments;
    }
    // Started with nothing at a terminal, the short usage rather than a wait for typed audio.
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const auto bare = runCommand(decoder("< " + std::string(ttyname(slave))));
    close(master);
    close(slave);
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_EQ(bare.errors.rfind("Usage: sondeco-decode [OPTIONS] [FILE]\n", 0), 0u) << bare.errors;
    EXPECT_LE(std::count(bare.errors.begin(), bare.errors.end(), '\n'), 3) << bare.errors;
    const auto help = runCommand(decoder("--help"));
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.output.rfind("Usage: sondeco-decode", 0), 0u);

    const auto missing = scratchPath("missing.wav");
    auto result = runCommand(decoder("'" + missing.string() + "'"));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errors, "sondeco-decode: " + missing.string() + " cannot be opened: No such file or directory\n");

    const auto text = scratchPath("notes.wav");
    std::ofstream(text) << "this is not audio at all";
    result = runCommand(decoder("'" + text.string() + "'"));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errors, "sondeco-decode: " + text.string() + " is not a sound file libsndfile can read: format not recognised\n");
    result = runCommand(decoder("< '" + text.string() + "'"));
    EXPECT_EQ(result.errors, "sondeco-decode: standard input is not a sound file libsndfile can read: format not recognised\n");
    result = runCommand("cat '" + text.string() + "' | " + decoder(""));
    EXPECT_EQ(result.errors,
              "sondeco-decode: standard input is not in a format libsndfile reads through a pipe (WAV, AIFF, AU, FLAC, Ogg); give the "
              "file's name instead\n");

    for (const int rate : {1000, 48000}) {
        const auto file = scratchPath(std::to_string(rate) + ".wav");
        SoundFileWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(file.string(), 2, rate, error));
        const std::int16_t silence[2] = {0, 0};
        ASSERT_TRUE(writer.writeFrames(silence, 1));
        ASSERT_TRUE(writer.close(error));
        result = runCommand(decoder("--channel 3 '" + file.string() + "'"));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.errors, "sondeco-decode: " + file.string() +
                                     (rate == 1000 ? " is sampled at 1000 Hz; 8000 to 384000 Hz are supported\n"
                                                   : " has 2 channels; there is no channel 3\n"));
    }
}

// A beacon of 20 s made by sondeco-gen (frames of types 9 and 3), and what sondeco-decode makes of
// it as it is: the frames every other form of the same audio must give.
struct Reference {
    std::filesystem::path wav;
    std::vector<std::vector<double>> frames;  // the headers, in order
};

Reference reference() {
    Reference made{scratchPath("reference.wav"), {}};
    EXPECT_EQ(runCommand(generator("--types 9,3 --seconds 20 --zcount 100 '" + made.wav.string() + "'")).exitCode, 0);
    for (const auto& line : rtcm2Lines(runCommand(decoder("-o json '" + made.wav.string() + "'")).output))
        made.frames.push_back(header(line));
    EXPECT_GE(made.frames.size(), 15u);
    return made;
}

std::vector<std::vector<double>> headers(const std::string& output) {
    std::vector<std::vector<double>> result;
    for (const auto& line : rtcm2Lines(output)) result.push_back(header(line));
    return result;
}

// The reference audio rewritten by libsndfile in another format.
void convert(const std::filesystem::path& from, const std::filesystem::path& to, int format) {
    SF_INFO in{};
    SNDFILE* source = sf_open(from.c_str(), SFM_READ, &in);
    ASSERT_NE(source, nullptr);
    std::vector<double> samples(static_cast<std::size_t>(in.frames * in.channels));
    ASSERT_EQ(sf_readf_double(source, samples.data(), in.frames), in.frames);
    sf_close(source);
    SF_INFO out{};
    out.format = format;
    out.channels = in.channels;
    out.samplerate = in.samplerate;
    SNDFILE* target = sf_open(to.c_str(), SFM_WRITE, &out);
    ASSERT_NE(target, nullptr) << to << ": " << sf_strerror(nullptr);
    ASSERT_EQ(sf_writef_double(target, samples.data(), in.frames), in.frames);
    sf_close(target);
}

TEST(SondecoDecode, EveryFileFormatAndRateDecodesTheFramesThatWentIn) {
    const Reference sent = reference();
    std::vector<std::filesystem::path> files;
    for (const auto& [name, format] : std::vector<std::pair<std::string, int>>{{"s24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                                                                               {"s32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32},
                                                                               {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                                                                               {"extensible.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16},
                                                                               {"beacon.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                                                               {"beacon.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
                                                                               {"beacon.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16}}) {
        files.push_back(scratchPath(name));
        convert(sent.wav, files.back(), format);
    }
    // Recorders' rates, through sox's own resampler; 96 kHz as float, 192 kHz as FLAC.
    for (const auto& [name, options] : std::vector<std::pair<std::string, std::string>>{{"r8000.wav", "-r 8000"},
                                                                                        {"r11025.wav", "-r 11025"},
                                                                                        {"r44100.wav", "-r 44100"},
                                                                                        {"r96000.wav", "-e floating-point -b 32 -r 96000"},
                                                                                        {"r192000.flac", "-r 192000"}}) {
        files.push_back(scratchPath(name));
        ASSERT_EQ(runCommand("sox '" + sent.wav.string() + "' " + options + " '" + files.back().string() + "'").exitCode, 0) << name;
    }
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const auto byName = runCommand(decoder("-o json '" + file.string() + "'"));
        EXPECT_EQ(byName.exitCode, 0) << byName.errors;
        EXPECT_EQ(headers(byName.output), sent.frames);
        const auto piped = runCommand("cat '" + file.string() + "' | " + decoder("-o json"));
        EXPECT_EQ(piped.exitCode, 0) << piped.errors;
        EXPECT_EQ(headers(piped.output), sent.frames);
    }
}

TEST(SondecoDecode, RawAudioOnStandardInputInEveryFormat) {
    const Reference sent = reference();
    const std::string wav = "'" + sent.wav.string() + "'";
    for (const auto& [convert, options] : std::vector<std::pair<std::string, std::string>>{
             {"tail -c +45 " + wav, "--raw"},
             {"sox " + wav + " -t raw -e signed -b 32 -", "--format s32"},
             {"sox " + wav + " -t raw -e floating-point -b 32 -c 1 -r 44100 -", "--format f32 --channels 1 --sample-rate 44100"},
             {"sox " + wav + " -t raw -e unsigned -b 8 -r 22050 -", "--format u8 --sample-rate 22050"},
             {"sox " + wav + " -t raw -e signed -b 16 - remix 2 2 1", "--channels 3 --channel 3"}}) {
        SCOPED_TRACE(options);
        const auto result = runCommand(convert + " | " + decoder("-o json " + options));
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(headers(result.output), sent.frames);
    }
}

TEST(SondecoDecode, ChannelPicksTheSideTheReceiverFeeds) {
    const Reference sent = reference();
    const auto swapped = scratchPath("right.wav");
    ASSERT_EQ(runCommand("sox '" + sent.wav.string() + "' '" + swapped.string() + "' remix 2 1").exitCode, 0);
    const auto first = runCommand(decoder("-o json '" + swapped.string() + "'"));
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_TRUE(headers(first.output).empty());
    const auto second = runCommand(decoder("-o json --channel 2 '" + swapped.string() + "'"));
    EXPECT_EQ(second.exitCode, 0) << second.errors;
    EXPECT_EQ(headers(second.output), sent.frames);
}

// A recording cut short or damaged: the frames before the damage are written, then one line says
// what is wrong, and the status is 1.
TEST(SondecoDecode, ACutShortOrDamagedFileGivesItsFramesThenOneErrorAndStatus1) {
    const Reference sent = reference();
    const auto cut = scratchPath("cut.wav");
    std::filesystem::copy_file(sent.wav, cut, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(cut, std::filesystem::file_size(sent.wav) / 2);
    const auto flac = scratchPath("beacon.flac");
    convert(sent.wav, flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::string bytes = testing::readWhole(flac);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x10);
    const auto damaged = scratchPath("damaged.flac");
    std::ofstream(damaged, std::ios::binary) << bytes;

    for (const auto& [command, error] : std::vector<std::pair<std::string, std::string>>{
             {"'" + cut.string() + "'", cut.string() + " is cut short: its audio stops at 10.0 s, before the end its header announces"},
             {"< '" + cut.string() + "'", "standard input is cut short: its audio stops at 10.0 s, before the end its header announces"},
             {"'" + damaged.string() + "'", damaged.string() + " is damaged at "},
             {"< '" + damaged.string() + "'", "standard input is damaged at "}}) {
        SCOPED_TRACE(command);
        const auto result = runCommand(decoder("-o json " + command));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.errors.rfind("sondeco-decode: " + error, 0), 0u) << result.errors;
        EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
        const auto before = headers(result.output);
        EXPECT_GT(before.size(), 5u);
        EXPECT_LT(before.size(), sent.frames.size());
        EXPECT_EQ(before,
                  std::vector<std::vector<double>>(sent.frames.begin(), sent.frames.begin() + static_cast<std::ptrdiff_t>(before.size())));
    }

    const auto piped = runCommand(decoder("-o json '" + sent.wav.string() + "'") + " | head -c 10");
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.output.size(), 10u);
    EXPECT_TRUE(piped.errors.empty()) << piped.errors;
}

// `bytes` saved under `name`; its path, quoted for the shell.
std::string savedFile(const std::string& name, const std::string& bytes, std::filesystem::path* path = nullptr) {
    const auto file = scratchPath(name);
    std::ofstream(file, std::ios::binary) << bytes;
    if (path != nullptr) *path = file;
    return "'" + file.string() + "'";
}

// The three ways in: by name, a file on standard input, a pipe; and the name each is reported by.
std::vector<std::pair<std::string, std::string>> threeWaysIn(const std::filesystem::path& file) {
    const std::string quoted = "'" + file.string() + "'";
    return {{decoder("-o json " + quoted), file.string()},
            {decoder("-o json < " + quoted), "standard input"},
            {"cat " + quoted + " | " + decoder("-o json"), "standard input"}};
}

// A recorder that dies leaves its header's size of the audio unwritten (in RF64, in its ds64 chunk):
// every frame is decoded all the same, then one line says the header was wrong, and the status says
// the file is not what it should be, as for a cut one.
TEST(SondecoDecode, ARecordingWhoseHeaderSaysNoAudioGivesAllItsFramesThenOneLineAndStatus1) {
    const Reference sent = reference();
    const auto rf64 = scratchPath("beacon.rf64");
    convert(sent.wav, rf64, SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
    for (const auto& [from, sizeAt] : std::vector<std::pair<std::filesystem::path, std::size_t>>{{sent.wav, 40}, {rf64, 0x1C}}) {
        std::string bytes = testing::readWhole(from);
        ASSERT_TRUE(bytes.substr(sizeAt - 4, 4) == "data" || bytes.substr(0x0C, 4) == "ds64") << from;
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(sizeAt), sizeAt == 40 ? 4 : 8, '\0');
        std::filesystem::path unfinished;
        savedFile("unfinished" + from.extension().string(), bytes, &unfinished);
        for (const auto& [command, name] : threeWaysIn(unfinished)) {
            SCOPED_TRACE(command);
            const auto result = runCommand(command);
            EXPECT_EQ(result.exitCode, 1);
            EXPECT_EQ(result.errors,
                      "sondeco-decode: " + name +
                          " has a header that announces 0.0 s of audio, but 20.0 s follow; decoded to the end of the data\n");
            EXPECT_EQ(headers(result.output), sent.frames);
        }
    }
}

TEST(SondecoDecode, Rf64Wave64AndOggFilesCutShortAreReportedByNameAndThroughAPipe) {
    const Reference sent = reference();
    for (const auto& [name, format] : std::vector<std::pair<std::string, int>>{{"cut.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16},
                                                                               {"cut.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16},
                                                                               {"cut.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS}}) {
        const auto cut = scratchPath(name);
        convert(sent.wav, cut, format);
        std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 2);
        for (const auto& [command, reported] : threeWaysIn(cut)) {
            SCOPED_TRACE(command);
            const auto result = runCommand(command);
            EXPECT_EQ(result.exitCode, 1);
            EXPECT_EQ(result.errors.rfind("sondeco-decode: " + reported + " is cut short: its audio stops at ", 0), 0u) << result.errors;
            EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
            const auto before = headers(result.output);
            EXPECT_GT(before.size(), 5u);
            EXPECT_LT(before.size(), sent.frames.size());
            EXPECT_EQ(before, std::vector<std::vector<double>>(sent.frames.begin(),
                                                               sent.frames.begin() + static_cast<std::ptrdiff_t>(before.size())));
        }
    }
}

TEST(SondecoDecode, EmptyFilesOfEveryKindAndBytesShortOfAFrameAreReported) {
    std::filesystem::path empty;
    const std::string quoted = savedFile("empty", "", &empty);
    for (const std::string options : {"", "--raw", "--rtcm", "--iq --format cu8 --sample-rate 2400000", "--scan --raw -o json"}) {
        SCOPED_TRACE(options);
        for (const auto& [command, name] : std::vector<std::pair<std::string, std::string>>{{options + " " + quoted, empty.string()},
                                                                                            {options + " < " + quoted, "standard input"}}) {
            const auto result = runCommand(decoder(command));
            EXPECT_EQ(result.exitCode, 1);
            EXPECT_EQ(result.errors, "sondeco-decode: " + name + " is empty\n");
        }
    }

    // The reference's audio as raw samples, three bytes of one more frame after it: every frame of
    // the audio, then a word about the bytes left over.
    const Reference sent = reference();
    std::filesystem::path raw;
    savedFile("part.raw", testing::readWhole(sent.wav).substr(44) + "\x01\x02\x03", &raw);
    const auto result = runCommand(decoder("-o json --raw '" + raw.string() + "'"));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errors,
              "sondeco-decode: " + raw.string() +
                  " ends with 3 bytes, less than a whole frame of 2 channels of s16 (4 bytes); the audio before them is decoded\n");
    EXPECT_EQ(headers(result.output), sent.frames);
}

// libmpg123 writes its notes on a damaged stream to standard error unless told to keep quiet: the
// one line there is ours.
TEST(SondecoDecode, ADamagedMp3IsCalledDamagedInOneLine) {
    const Reference sent = reference();
    const auto mp3 = scratchPath("beacon.mp3");
    convert(sent.wav, mp3, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    const auto whole = runCommand(decoder("-o json '" + mp3.string() + "'"));
    EXPECT_EQ(whole.exitCode, 0);
    EXPECT_EQ(whole.errors, "");

    std::string bytes = testing::readWhole(mp3);
    std::uint32_t noise = 12345;
    for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 2000; ++i) {
        noise = noise * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(noise >> 24);
    }
    std::filesystem::path damaged;
    savedFile("damaged.mp3", bytes, &damaged);
    auto result = runCommand(decoder("-o json '" + damaged.string() + "'"));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errors.rfind("sondeco-decode: " + damaged.string() + " is damaged at ", 0), 0u) << result.errors;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;

    std::filesystem::path noiseOnly;
    savedFile("noise.mp3", bytes.substr(0, 4) + bytes.substr(bytes.size() / 2, 2000), &noiseOnly);
    result = runCommand(decoder("'" + noiseOnly.string() + "'"));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errors,
              "sondeco-decode: " + noiseOnly.string() + " is damaged MPEG audio: libmpg123 finds no frame in it that it can decode\n");
}

}  // namespace
}  // namespace sondeco
