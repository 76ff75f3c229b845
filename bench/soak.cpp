// SPDX-License-Identifier: GPL-3.0-or-later
// The long-run soak: a day of generated beacon audio through the whole receiver as fast as it goes,
// watching the process's memory and the decoder's stores for growth. A receiver is left running for
// weeks; anything that grows per frame or per buffer shows here long before a user notices.
//
// The audio is made buffer by buffer and never kept. Every few hours the receiver is "retuned" to
// another station (a new station ID, another signal level, a few minutes of noise before it comes on
// air), which clears the pages; all message types of the usual mix are sent (1, 3, 5, 7, 9, 16, 31
// to 35). Per buffer it does what the main window does: the demodulator and the RTCM decoder build
// the pages (the type 9 page shown as if selected, every page also formatted as sondeco-decode
// would, into /dev/null), then the spectrum indicator and the eye pattern are drawn.
//
// Once per simulated hour it prints a line: VmRSS and VmHWM from /proc/self/status, the frames
// decoded that hour, the longest page text published that hour, and the bytes held in the page texts,
// correction tables and special-message history. At the end it checks that the resident size after
// the first hour stayed within a margin of the first hour's and that no page or store outgrew its
// bound, and exits 1 if not.
//
// Usage: soak [--hours H] [--station-hours S] [--no-displays]   (defaults: 24, 4, displays drawn)
// Run by hand (make soak); it takes minutes, so it is no part of the test suite or of make bench.
#include "display/eye_pattern.h"
#include "display/signal_indicator.h"
#include "measure/fixed_clock.h"
#include "output/decoded_output.h"
#include "present/message_pages.h"
#include "receiver/receiver.h"
#include "signalgen/beacon_audio.h"
#include "tools/command_line.h"

#include <time.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace sondeco;
using Clock = std::chrono::steady_clock;

// The machine may be shared, so the stages are timed in this thread's CPU time; wall time is
// reported beside it.
double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

constexpr std::size_t FramesPerBuffer = 4800;
constexpr int BuffersPerHour = 36000;
// Resident memory may move by allocator noise, never by a trend: after the first hour it must stay
// within this margin of the first hour's figure.
constexpr long RssMarginKb = 1024;
// No page is anywhere near this long: 32 correction lines of about 70 bytes, or twelve special
// messages of at most 90 characters, plus title and footer.
constexpr std::size_t PageBound = 8192;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// VmRSS and VmHWM in kB, 0 where the line cannot be read.
struct Memory {
    long rssKb = 0;
    long peakKb = 0;
};

Memory readMemory() {
    Memory memory;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) memory.rssKb = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) memory.peakKb = std::atol(line.c_str() + 6);
    }
    return memory;
}

// What the main window would be: the type 9 page selected and its text shown, and every published
// page formatted by sondeco-decode's writer into /dev/null. Keeps the longest text published.
class SoakView final : public DecoderListener, public PageView, public PageListener {
public:
    explicit SoakView(std::FILE* sink) : writer_(OutputFormat::Pages, sink, "soak") {}

    int selectedPage() const override { return 4; }
    void showPageText(const std::string& text) override { shown_ = text; }
    void setTabCaptions(const std::array<std::string, PageCount>& captions) override { captions_ = captions; }
    void frameCompleted(const RtcmFrame&, const DecodedMessage&) override { ++framesThisHour; }
    void pagePublished(int page, const std::string& text) override {
        writer_.pagePublished(page, text);
        longestThisHour = std::max(longestThisHour, text.size());
    }

    bool failed() const { return writer_.failed(); }
    std::size_t shownBytes() const { return shown_.size(); }

    std::size_t longestThisHour = 0;
    std::uint64_t framesThisHour = 0;

private:
    DecodedStreamWriter writer_;
    std::string shown_;
    std::array<std::string, PageCount> captions_;
};

struct Station {
    int stationId;
    double ebN0Db;
};

// Three stations in turn: a good one, a weak one that loses frames, a strong one.
constexpr std::array<Station, 3> Stations{{{491, 12.0}, {762, 8.0}, {705, 16.0}}};

struct Settings {
    int hours = 24;
    int stationHours = 4;
    bool displays = true;
};

std::size_t storeBytes(const MessagePages& pages) {
    std::size_t bytes = 0;
    for (const auto& table : pages.CorrectionLines)
        for (const std::string& line : table) bytes += line.size();
    return bytes;
}

std::size_t specialBytes(const MessagePages& pages) {
    std::size_t bytes = 0;
    for (const std::string& line : pages.SpecialMessageLines) bytes += line.size();
    return bytes;
}

std::size_t pageBytes(const MessagePages& pages, std::size_t* longest) {
    std::size_t bytes = 0;
    for (const std::string& text : pages.PageTexts) {
        bytes += text.size();
        *longest = std::max(*longest, text.size());
    }
    return bytes;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int soak(const Settings& settings) {
    std::unique_ptr<std::FILE, FileCloser> nullSink(std::fopen("/dev/null", "w"));
    if (!nullSink) {
        std::fputs("soak: cannot open /dev/null\n", stderr);
        return 1;
    }
    SoakView view(nullSink.get());
    Receiver receiver(ReceiverSettings::classic(80, true));
    MessagePages pages(fixedClock, &view);
    receiver.addListener(pages);
    receiver.addListener(view);
    pages.addListener(view);
    // The indicator is about 56 KB: on the heap, as the main window keeps it.
    auto indicator = std::make_unique<SignalIndicator>();
    auto eye = std::make_unique<EyePattern>();
    QImage indicatorBitmap = SignalIndicator::makeBitmap();
    QImage eyeBitmap = EyePattern::makeBitmap();

    const auto stationSettings = [](int segment, double startSeconds) {
        const Station& s = Stations[static_cast<std::size_t>(segment) % Stations.size()];
        BeaconSettings station;
        station.stationId = s.stationId;
        station.startSecondsIntoHour = startSeconds;
        MskSettings transmitter;
        transmitter.ebN0Db = s.ebN0Db;
        transmitter.noiseSeed = 1000 + static_cast<std::uint64_t>(segment);
        // After a retune the first five minutes are noise: the decoder hunts for a preamble in it.
        transmitter.leadingSeconds = segment == 0 ? 0.0 : 300.0;
        return std::pair{station, transmitter};
    };
    auto [firstStation, firstTransmitter] = stationSettings(0, 0.0);
    BeaconAudio audio(firstStation, firstTransmitter);
    std::vector<std::int16_t> buffer(2 * FramesPerBuffer);

    std::printf("soak: %d h of 200 bit/s beacon audio, station change every %d h, displays %s\n", settings.hours, settings.stationHours,
                settings.displays ? "drawn" : "not drawn");
    std::printf("%4s %7s %6s %7s %9s %9s %8s %9s %9s %8s %9s %8s\n", "hour", "station", "Eb/N0", "frames", "VmRSS kB", "VmHWM kB",
                "longest", "pages B", "tables B", "type16 B", "wall s", "CPU s");

    const Clock::time_point start = Clock::now();
    const double cpuStart = cpuSeconds();
    double generating = 0.0, decoding = 0.0, drawing = 0.0;
    std::vector<Memory> hourly;
    std::vector<std::size_t> longestByHour;
    bool storesBounded = true;
    for (int hour = 0; hour < settings.hours; ++hour) {
        const int segment = hour / settings.stationHours;
        if (hour > 0 && hour % settings.stationHours == 0) {
            auto [station, transmitter] = stationSettings(segment, hour * 3600.0);
            audio.changeStation(station, transmitter);
        }
        for (int b = 0; b < BuffersPerHour; ++b) {
            const double t0 = cpuSeconds();
            audio.render(buffer);
            const double t1 = cpuSeconds();
            receiver.pushAudio(buffer.data(), FramesPerBuffer, 2);
            const double t2 = cpuSeconds();
            if (settings.displays) {
                const Demodulator& d = receiver.demodulator();
                indicator->drawSignalIndicator(indicatorBitmap, d.MixedSamples(), true);
                eye->drawEyePattern(eyeBitmap, d.FrequencyTrace(), d.BitMarks(), d.tuning().EyeSampleSpacing, d.tuning().EyeVerticalScale);
            }
            const double t3 = cpuSeconds();
            generating += t1 - t0;
            decoding += t2 - t1;
            drawing += t3 - t2;
        }
        const Memory memory = readMemory();
        std::size_t longestNow = 0;
        const std::size_t pagesNow = pageBytes(pages, &longestNow);
        const std::size_t tables = storeBytes(pages);
        const std::size_t special = specialBytes(pages);
        const Station& s = Stations[static_cast<std::size_t>(segment) % Stations.size()];
        std::printf("%4d %7d %6.1f %7llu %9ld %9ld %8zu %9zu %9zu %8zu %9.1f %8.1f\n", hour + 1, s.stationId, s.ebN0Db,
                    static_cast<unsigned long long>(view.framesThisHour), memory.rssKb, memory.peakKb, view.longestThisHour, pagesNow,
                    tables, special, seconds(Clock::now() - start), cpuSeconds() - cpuStart);
        std::fflush(stdout);
        if (view.longestThisHour > PageBound || longestNow > PageBound || view.shownBytes() > PageBound || special > 12 * 93)
            storesBounded = false;
        hourly.push_back(memory);
        longestByHour.push_back(view.longestThisHour);
        view.longestThisHour = 0;
        view.framesThisHour = 0;
    }

    const double wall = seconds(Clock::now() - start);
    const double cpu = cpuSeconds() - cpuStart;
    const double simulated = settings.hours * 3600.0;
    const DecoderStatistics& stats = receiver.decoder().statistics();
    long highestAfterFirst = 0;
    for (std::size_t h = 1; h < hourly.size(); ++h) highestAfterFirst = std::max(highestAfterFirst, hourly[h].rssKb);
    const long growth = highestAfterFirst - hourly.front().rssKb;
    const std::size_t half = longestByHour.size() / 2;
    const std::size_t longestFirstHalf = *std::max_element(longestByHour.begin(), longestByHour.begin() + long(half));
    const std::size_t longestSecondHalf = *std::max_element(longestByHour.begin() + long(half), longestByHour.end());

    std::printf("\nsimulated: %d h in %.1f s wall, %.1f s CPU (%.0f x real time in CPU time)\n", settings.hours, wall, cpu,
                simulated / cpu);
    std::printf("  CPU: generating the audio %.1f s; receiver chain %.1f s (%.0f x real time); displays %.1f s (%.0f x real time)\n",
                generating, decoding, simulated / decoding, drawing, settings.displays ? simulated / drawing : 0.0);
    std::printf("  frames decoded: %llu; parity failures: %llu; sync losses: %llu\n", static_cast<unsigned long long>(stats.frames),
                static_cast<unsigned long long>(stats.parityFailures), static_cast<unsigned long long>(stats.syncLosses));
    std::printf("  VmRSS after hour 1: %ld kB; highest after that: %ld kB (growth %ld kB, margin %ld kB); VmHWM: %ld kB\n",
                hourly.front().rssKb, highestAfterFirst, growth, RssMarginKb, hourly.back().peakKb);
    std::printf("  longest page published: first half %zu B, second half %zu B (bound %zu B)\n", longestFirstHalf, longestSecondHalf,
                PageBound);

    bool ok = true;
    if (growth > RssMarginKb) {
        std::printf("FAIL: resident memory grew by %ld kB after the first hour\n", growth);
        ok = false;
    }
    if (!storesBounded || longestSecondHalf > longestFirstHalf + longestFirstHalf / 10) {
        std::printf("FAIL: a page text or store outgrew its bound\n");
        ok = false;
    }
    if (view.failed()) {
        std::printf("FAIL: writing the pages to /dev/null failed\n");
        ok = false;
    }
    std::printf("%s\n", ok ? "soak: PASS" : "soak: FAIL");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    bool noDisplays = false;
    CommandLine commandLine("soak");
    CLI::App& app = commandLine.app();
    app.add_option("--hours", settings.hours)->check(CLI::Range(2, 100000));
    app.add_option("--station-hours", settings.stationHours)->check(CLI::Range(1, 100000));
    addFlag(app, "--no-displays", noDisplays);
    return runTool(
        "soak", "Usage: soak [--hours H] [--station-hours S] [--no-displays]\n", commandLine, argc, argv, [] {},
        [&] {
            settings.displays = !noDisplays;
            return soak(settings);
        });
}
