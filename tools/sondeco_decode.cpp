// sondeco-decode: the desktop program's decoder chain without windows, for recordings, audio piped
// from SDR software, and RTCM streams; writes pages, frame headers, gpsd-style JSON or RTCM.

#include "audio/audio_format.h"
#include "audio/wav_file.h"
#include "output/decoded_output.h"
#include "receiver/receiver.h"
#include "rtcm/message_pages.h"
#include "tools/command_line.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace sondeco;

constexpr const char* Usage =
    "Usage: sondeco-decode [OPTIONS] [FILE]\n"
    "Decodes a DGPS beacon: RTCM SC-104 version 2 messages from the receiver's audio, or from an\n"
    "RTCM serial stream. FILE is a WAV file (16-bit PCM, 48000 Hz, any number of channels; the first\n"
    "is decoded); without FILE, or with -, standard input is read.\n"
    "\n"
    "  -r, --rate 100|200     bit rate of the beacon in bit/s (default 200)\n"
    "  -f, --freq HZ          centre frequency of the audio, 500..1000 in steps of 10 (default 800)\n"
    "      --raw              the input is headerless 16-bit little-endian stereo PCM at 48000 Hz\n"
    "      --rtcm             the input is an RTCM SC-104 6-of-8 byte stream, not audio\n"
    "  -o, --output FORMAT    pages (default): each page as it is updated\n"
    "                         frames: one line per frame header, as the status bar shows it\n"
    "                         json: one gpsd-style RTCM2 JSON object per frame\n"
    "                         rtcm: the frames as an RTCM 6-of-8 byte stream\n"
    "      --stats            at the end, a summary of what was decoded on standard error\n"
    "  -h, --help             show this help and exit\n";

struct Options {
    int decFreqPos = 80;
    bool decBitRate = true;
    bool raw = false;
    bool rtcm = false;
    bool stats = false;
    OutputFormat format = OutputFormat::Pages;
    std::string input = "-";
};

void declareOptions(CLI::App& app, Options& options, int& rate, int& hertz) {
    app.add_option("-r,--rate", rate)->check(CLI::IsMember({100, 200}));
    app.add_option("-f,--freq", hertz)->check(CLI::Range(500, 1000));
    const std::map<std::string, OutputFormat> formats{
        {"pages", OutputFormat::Pages}, {"frames", OutputFormat::Frames}, {"json", OutputFormat::Json}, {"rtcm", OutputFormat::Rtcm}};
    app.add_option("-o,--output", options.format)->transform(CLI::CheckedTransformer(formats));
    addFlag(app, "--raw", options.raw);
    addFlag(app, "--rtcm", options.rtcm);
    addFlag(app, "--stats", options.stats);
    app.add_option("file", options.input);
}

void checkOptions(Options& options, int rate, int hertz) {
    if (hertz % 10 != 0) throw UsageError("-f must be a multiple of 10 Hz");
    options.decFreqPos = hertz / 10;
    options.decBitRate = rate == 200;
    if (options.raw && options.rtcm) throw UsageError("--raw and --rtcm cannot be used together");
}

std::string inputName(const Options& options) { return options.input == "-" ? "standard input" : options.input; }

int fail(const Options& options, const std::string& problem) {
    std::fprintf(stderr, "sondeco-decode: %s %s\n", inputName(options).c_str(), problem.c_str());
    return 1;
}

// Reads all of a byte stream (a file or standard input) in pieces. `consume` returns how many bytes
// it used; the rest (part of an audio frame) is handed over again with the next piece.
template <typename Consumer>
bool readStream(const Options& options, DecodedStreamWriter& output, Consumer&& consume, std::string& problem) {
    std::FILE* file = options.input == "-" ? stdin : std::fopen(options.input.c_str(), "rb");
    if (file == nullptr) {
        problem = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    std::vector<char> chunk(1 << 16);
    std::size_t kept = 0;
    while (!output.failed()) {
        const std::size_t got = std::fread(chunk.data() + kept, 1, chunk.size() - kept, file);
        if (got == 0) break;
        const std::size_t available = kept + got;
        const std::size_t used = consume(std::string_view(chunk.data(), available));
        kept = available - used;
        std::memmove(chunk.data(), chunk.data() + used, kept);
    }
    const bool readError = std::ferror(file) != 0;
    if (file != stdin) std::fclose(file);
    if (readError) {
        problem = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void printStatistics(const Receiver& receiver, const Options& options) {
    const DecoderStatistics& s = receiver.decoder().statistics();
    if (options.rtcm) {
        std::fprintf(stderr, "audio seconds: none (RTCM input)\n");
    } else {
        std::fprintf(stderr, "audio seconds: %.1f\n", static_cast<double>(receiver.audioFrames()) / SampleRate);
    }
    std::fprintf(stderr, "bits: %llu\nwords: %llu\nparity failures: %llu\nframes without preamble: %llu\nsync losses: %llu\n",
                 static_cast<unsigned long long>(s.bits), static_cast<unsigned long long>(s.words),
                 static_cast<unsigned long long>(s.parityFailures), static_cast<unsigned long long>(s.missingPreambles),
                 static_cast<unsigned long long>(s.syncLosses));
    std::fprintf(stderr, "frames: %llu\n", static_cast<unsigned long long>(s.frames));
    for (std::size_t type = 0; type < s.framesByType.size(); ++type)
        if (s.framesByType[type] > 0)
            std::fprintf(stderr, "  type %zu: %llu\n", type, static_cast<unsigned long long>(s.framesByType[type]));
    if (s.framesNotDecoded > 0)
        std::fprintf(stderr, "frames from a station marked not working (not decoded): %llu\n",
                     static_cast<unsigned long long>(s.framesNotDecoded));
}

int run(const Options& options) {
    DecodedStreamWriter output(options.format, stdout, options.input == "-" ? "stdin" : options.input);
    Receiver receiver({options.decFreqPos, options.decBitRate});
    // Pages are built only when they are what is written.
    MessagePages pages;
    if (options.format == OutputFormat::Pages) {
        receiver.addListener(pages);
        pages.addListener(output);
    }
    receiver.addListener(output);
    std::string problem;

    if (options.rtcm || options.raw) {
        const bool ok = readStream(
            options, output,
            [&](std::string_view bytes) -> std::size_t {
                if (options.rtcm) {
                    receiver.pushRtcmBytes(bytes);
                    return bytes.size();
                }
                constexpr std::size_t FrameBytes = 4;  // stereo, 16 bits
                const std::size_t frames = bytes.size() / FrameBytes;
                std::vector<std::int16_t> samples(frames * 2);
                for (std::size_t i = 0; i < samples.size(); ++i) {
                    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + 2 * i;
                    samples[i] = static_cast<std::int16_t>(p[0] | p[1] << 8);
                }
                receiver.pushAudio(samples.data(), frames, 2);
                return frames * FrameBytes;
            },
            problem);
        if (!ok) return fail(options, problem);
    } else {
        WavReader reader;
        if (!reader.open(options.input, problem)) return fail(options, problem);
        const int channels = reader.info().channels;
        const std::size_t blockFrames = framesPerRead(channels, FramesPerBuffer);
        std::vector<std::int16_t> block(blockFrames * static_cast<std::size_t>(channels));
        while (!output.failed()) {
            const std::size_t frames = reader.readFrames(block.data(), blockFrames);
            if (frames == 0) break;
            receiver.pushAudio(block.data(), frames, channels);
        }
        if (reader.truncated())
            std::fprintf(stderr, "sondeco-decode: warning: %s is cut short; decoded the %.1f s it holds\n", inputName(options).c_str(),
                         static_cast<double>(receiver.audioFrames()) / SampleRate);
    }
    receiver.finishAudio();
    if (!output.failed()) std::fflush(stdout);
    if (options.stats) printStatistics(receiver, options);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away (`| head`) ends the output quietly instead of killing us mid-write.
    std::signal(SIGPIPE, SIG_IGN);
    Options options;
    int rate = 200;
    int hertz = 800;
    CommandLine commandLine("sondeco-decode");
    declareOptions(commandLine.app(), options, rate, hertz);
    return runTool(
        "sondeco-decode", Usage, commandLine, argc, argv, [&] { checkOptions(options, rate, hertz); }, [&] { return run(options); });
}
