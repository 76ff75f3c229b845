// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: any command line for sondeco-decode and sondeco-gen, read by the same declarations and
// checks the programs run (decode_options.h, gen_options.h); the feed options as the desktop program
// hands them over from Qt's parser (readFeedOptions); and the two values the feeds read on their own:
// a --listen address and the serial port's speed. The input's words are its bytes between NUL and
// line-end bytes (a word never holds a line end, so any line end in a message is ours); the last
// byte says which reader takes them.
//
// Beyond never crashing and never throwing anything but the two errors the programs report:
// - a mistake is reported as one non-empty line (what the program prints after its name), from
//   CLI11's words made plain or from our own checks;
// - what a command line that passes leaves the program to run with is within what it can run: every
//   number in its range, every --listen read into an address, options that exclude each other not
//   both in force;
// - a --listen address read back from its own written form is the same address;
// - every serial speed offered is taken as written, and nothing else becomes the port's speed; the
//   speeds are a sorted list within the range the usage text gives.
// The rest of the desktop program's command line is left out: Qt's QCommandLineParser reads it, and
// the fuzz build has no Qt.

#include "audio/audio_input.h"
#include "output/feed_options.h"
#include "output/network_output.h"
#include "output/serial_output.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/band_decode.h"
#include "tools/command_line.h"
#include "tools/decode_options.h"
#include "tools/gen_options.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace sondeco;

std::vector<std::string> wordsOf(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\0' || c == '\n') {
            words.emplace_back();
        } else {
            words.back() += c;
        }
    }
    return words;
}

void checkProblem(const std::string& problem) {
    FUZZ_CHECK(!problem.empty());
    FUZZ_CHECK(problem.find('\n') == std::string::npos);
}

// Parses as runTool does; returns whether the options were read and checked without a mistake (or
// help or the version was asked for, which ends the program before any check).
template <typename Check>
bool parse(CommandLine& commandLine, const char* name, const std::vector<std::string>& words, Check&& check) {
    std::vector<std::string> arguments{name};
    arguments.insert(arguments.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    try {
        commandLine.app().parse(static_cast<int>(arguments.size()), argv.data());
        if (commandLine.helpAsked() || commandLine.versionAsked()) return false;
        check();
        return true;
    } catch (const CLI::ParseError& error) {
        if (!commandLine.helpAsked() && !commandLine.versionAsked()) checkProblem(plainUsageProblem(error));
    } catch (const UsageError& error) {
        checkProblem(error.what());
    }
    return false;
}

void checkAddress(const ListenAddress& address) {
    FUZZ_CHECK(!address.host.empty());
    FUZZ_CHECK(address.port >= 1 && address.port <= 65535);
    if (address.stationId) FUZZ_CHECK(*address.stationId >= 0 && *address.stationId <= 1023 && address.format != OutputFormat::Pages);
}

// The feeds a command line that passes leaves sondeco-decode to open.
std::optional<FeedSettings> decodeCommandLine(const std::vector<std::string>& words) {
    CommandLine commandLine("sondeco-decode");
    DecodeOptions options;
    declareDecodeOptions(commandLine.app(), options);
    if (!parse(commandLine, "sondeco-decode", words, [&] { checkDecodeOptions(options); })) return std::nullopt;

    FUZZ_CHECK(options.decFreqPos >= 50 && options.decFreqPos <= 100);
    if (options.toneHint) FUZZ_CHECK(*options.toneHint >= 200.0 && *options.toneHint <= 3500.0);
    if (options.rateHint)
        FUZZ_CHECK(*options.rateHint == 25 || *options.rateHint == 50 || *options.rateHint == 100 || *options.rateHint == 200);
    FUZZ_CHECK(!(options.iq && options.scan));
    FUZZ_CHECK(!(options.rtcm && options.raw));
    FUZZ_CHECK(options.channel >= 1);
    if (options.raw) {
        FUZZ_CHECK(options.rawFormat.channels >= 1 && options.channel <= options.rawFormat.channels);
        FUZZ_CHECK(options.rawFormat.sampleRate >= AudioInput::LowestRate && options.rawFormat.sampleRate <= AudioInput::HighestRate);
    }
    if (options.iq && options.iqFormat) FUZZ_CHECK(options.rawSampleRate && *options.rawSampleRate >= LowestIqRate);
    if (options.table) FUZZ_CHECK(options.iq || options.scan);
    if (!options.logPath.empty()) FUZZ_CHECK(options.iq || options.scan);
    if (options.loop) FUZZ_CHECK(options.realtime && options.input != "-");
    for (const ListenAddress& address : options.feeds.listen) checkAddress(address);
    const auto& bauds = SerialOutput::supportedBaudRates();
    FUZZ_CHECK(std::find(bauds.begin(), bauds.end(), options.feeds.baud) != bauds.end());
    FUZZ_CHECK(options.feeds.maxClients >= 1 && options.feeds.maxClients <= NetworkOutput::HighestMaxClients);
    if (options.feeds.rtcmStation.stationId)
        FUZZ_CHECK(*options.feeds.rtcmStation.stationId >= 0 && *options.feeds.rtcmStation.stationId <= 1023);
    FUZZ_CHECK(!(options.feeds.rtcmStation.stationId && options.feeds.rtcmStation.frequencyHz));
    return options.feeds;
}

void genCommandLine(const std::vector<std::string>& words) {
    CommandLine commandLine("sondeco-gen");
    GenOptions options;
    declareGenOptions(commandLine.app(), options);
    if (!parse(commandLine, "sondeco-gen", words, [&] { checkGenOptions(options, commandLine.app()); })) return;

    FUZZ_CHECK(options.bitRate == 25 || options.bitRate == 50 || options.bitRate == 100 || options.bitRate == 200);
    FUZZ_CHECK(options.seconds > 0.0 && options.seconds <= 86400.0);
    FUZZ_CHECK(options.leadingSeconds >= 0.0 && options.leadingSeconds <= options.seconds);
    if (options.messageTypes) FUZZ_CHECK(!options.messageTypes->empty());
    if (!options.isBand()) return;
    const BandSettings& band = options.band;
    FUZZ_CHECK(band.sampleRate > 0.0);
    FUZZ_CHECK(!band.beacons.empty() || !band.carriers.empty());
    for (const BandBeacon& beacon : band.beacons) {
        FUZZ_CHECK(std::isfinite(beacon.frequency) && beacon.stationId >= 0 && beacon.stationId <= 1023);
        FUZZ_CHECK(beacon.bitRate == 25.0 || beacon.bitRate == 50.0 || beacon.bitRate == 100.0 || beacon.bitRate == 200.0);
        // Inside the stream: the generator writes no signal that would fold over its edges.
        const double centre = beacon.frequency + beacon.frequencyOffset - band.centreFrequency;
        FUZZ_CHECK(std::fabs(centre) + beacon.bitRate / 4.0 < band.sampleRate / 2.0 || !options.iq);
    }
    if (options.iq) FUZZ_CHECK(options.format.has_value());
}

// A --listen address as the command line writes it: in brackets, a host that holds a colon (an IPv6
// address) or would otherwise read as the start of one.
std::string written(const ListenAddress& address) {
    const bool bracketed = address.host.find(':') != std::string::npos || address.host.front() == '[';
    std::string text = bracketed ? "[" + address.host + "]" : address.host;
    text += ":" + std::to_string(address.port);
    if (address.format) text += std::string("/") + outputFormatName(*address.format);
    if (address.stationId) text += "@" + std::to_string(*address.stationId);
    return text;
}

void listenAddress(const std::string& text) {
    std::string problem;
    const auto address = parseListenAddress(text, problem);
    if (!address) {
        checkProblem(problem);
        return;
    }
    checkAddress(*address);
    std::string again;
    const auto reread = parseListenAddress(written(*address), again);
    FUZZ_CHECK(reread.has_value());
    FUZZ_CHECK(reread->host == address->host && reread->port == address->port && reread->format == address->format &&
               reread->stationId == address->stationId);
}

// The desktop program's feed options: every word a --listen, but for the last three, which are the
// --serial, --baud and --max-clients given (an empty word: not given).
void desktopFeedOptions(std::vector<std::string> words) {
    FeedOptionValues values;
    std::optional<std::string>* const lastThree[] = {&values.maxClients, &values.baud, &values.serial};
    for (std::optional<std::string>* value : lastThree) {
        if (words.empty()) break;
        if (!words.back().empty()) *value = words.back();
        words.pop_back();
    }
    values.listen = words;
    FeedSettings settings;
    if (const auto problem = readFeedOptions(values, settings)) {
        checkProblem(*problem);
        return;
    }
    FUZZ_CHECK(settings.listen.size() == values.listen.size());
    for (const ListenAddress& address : settings.listen) checkAddress(address);
    FUZZ_CHECK(settings.serialDevice == values.serial.value_or(""));
    const auto& bauds = SerialOutput::supportedBaudRates();
    FUZZ_CHECK(std::find(bauds.begin(), bauds.end(), settings.baud) != bauds.end());
    FUZZ_CHECK(settings.maxClients >= 1 && settings.maxClients <= NetworkOutput::HighestMaxClients);
}

void serialSpeeds() {
    const auto& bauds = SerialOutput::supportedBaudRates();
    FUZZ_CHECK(!bauds.empty() && std::is_sorted(bauds.begin(), bauds.end()));
    FUZZ_CHECK(std::adjacent_find(bauds.begin(), bauds.end()) == bauds.end());
    FUZZ_CHECK(bauds.front() >= 1200 && bauds.back() <= 921600);
    FUZZ_CHECK(std::find(bauds.begin(), bauds.end(), 9600) != bauds.end());  // the default
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::vector<std::string> words = wordsOf(data, size - 1);
    switch (data[size - 1] % 5) {
        case 0:
            decodeCommandLine(words);
            break;
        case 1:
            genCommandLine(words);
            break;
        case 2:
            for (const std::string& word : words) listenAddress(word);
            break;
        case 3: {
            // --baud as the decoder reads it: every speed offered is taken, as written, and nothing
            // else ends up as the port's speed.
            serialSpeeds();
            const std::string& speed = words.front();
            const auto& bauds = SerialOutput::supportedBaudRates();
            const auto offered = std::find_if(bauds.begin(), bauds.end(), [&](int baud) { return std::to_string(baud) == speed; });
            const auto feeds = decodeCommandLine({"--serial", "/dev/ttyUSB0", "--baud", speed});
            if (offered != bauds.end()) FUZZ_CHECK(feeds && feeds->baud == *offered);
            break;
        }
        default:
            desktopFeedOptions(words);
            break;
    }
    return 0;
}
