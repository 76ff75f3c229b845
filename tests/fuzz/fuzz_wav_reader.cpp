// Fuzz target: any bytes as a WAV file for WavReader, read the way the program plays a recording:
// frames in blocks of any size to the end, then a rewind and another pass. The bytes come through a
// custom stdio stream, so one input can also stand for a pipe (no seeking, short reads) or a disk
// that fails part-way. Beyond never crashing:
// - an opened file is 16-bit PCM at 48000 Hz with at least one channel, as open() promises;
// - a read never returns more frames than asked, nor more than a stated data size holds, and when
//   the file is not cut short it returns exactly the frames the data size holds;
// - a rewind gives the very same audio again; on a stream that cannot seek it says it cannot;
// - a failed open leaves a reason and a reader that reads nothing;
// - the frames, written by WavWriter and read back, come back unchanged.

#include "audio/wav_file.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace sondeco;

// The file's bytes behind a stdio stream (glibc's fopencookie).
struct ByteSource {
    std::string_view bytes;
    std::size_t position = 0;
    std::size_t readLimit = 1;  // a pipe hands over what it has, not what was asked
    std::size_t failAt = std::string_view::npos;  // a read reaching this offset fails (EIO)
};

ssize_t readSource(void* cookie, char* buffer, std::size_t size) {
    auto& source = *static_cast<ByteSource*>(cookie);
    if (source.position >= source.failAt) return -1;
    std::size_t n = std::min({size, source.readLimit, source.bytes.size() - source.position});
    if (source.failAt != std::string_view::npos) n = std::min(n, source.failAt - source.position);
    std::copy_n(source.bytes.data() + source.position, n, buffer);
    source.position += n;
    return static_cast<ssize_t>(n);
}

int seekSource(void* cookie, off64_t* offset, int whence) {
    auto& source = *static_cast<ByteSource*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(source.position)
                                              : static_cast<off64_t>(source.bytes.size());
    const off64_t target = base + *offset;
    if (target < 0) return -1;
    source.position = static_cast<std::size_t>(target);
    *offset = target;
    return 0;
}

std::FILE* openSource(ByteSource& source, bool seekable) {
    cookie_io_functions_t functions{};
    functions.read = readSource;
    if (seekable) functions.seek = seekSource;
    std::FILE* file = fopencookie(&source, "rb", functions);
    FUZZ_CHECK(file != nullptr);
    return file;
}

// One pass over the audio: every sample, in order.
struct Pass {
    std::vector<std::int16_t> samples;
    std::size_t frames = 0;
};

Pass readToEnd(WavReader& reader, std::uint32_t& blockSeed) {
    const auto channels = static_cast<std::size_t>(reader.info().channels);
    Pass pass;
    for (;;) {
        blockSeed = blockSeed * 1103515245u + 12345u;
        // Blocks of 1..4800 frames like the program's, but never more than 2^21 values at once, so
        // that a file claiming thousands of channels does not make every run allocate gigabytes.
        std::size_t want = 1 + (blockSeed >> 8) % 4800;
        want = std::max<std::size_t>(1, std::min(want, (std::size_t{1} << 21) / channels));
        auto block = std::make_unique_for_overwrite<std::int16_t[]>(want * channels);
        const std::size_t got = reader.readFrames(block.get(), want);
        FUZZ_CHECK(got <= want);
        if (got == 0) break;
        pass.samples.insert(pass.samples.end(), block.get(), block.get() + got * channels);
        pass.frames += got;
    }
    // Once at the end it stays there.
    std::int16_t spare[1];
    if (channels == 1) FUZZ_CHECK(reader.readFrames(spare, 1) == 0);
    FUZZ_CHECK(reader.readFrames(spare, 0) == 0);
    return pass;
}

const std::string& scratchWav() {
    static const fuzzing::ScratchFile file("sondeco-fuzz-wav");
    return file.path();
}

void checkWriterRoundTrip(const WavInfo& info, const Pass& pass) {
    WavWriter writer;
    std::string error;
    // A WAV header cannot describe frames of more than 65535 bytes: the writer must refuse those.
    const bool fits = info.channels <= 32767;
    FUZZ_CHECK(writer.open(scratchWav(), info.channels, info.sampleRate, error) == fits);
    if (!fits) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(!writer.writeFrames(pass.samples.data(), pass.frames));
        return;
    }
    FUZZ_CHECK(writer.writeFrames(pass.samples.data(), pass.frames));
    FUZZ_CHECK(writer.close(error));

    WavReader reader;
    FUZZ_CHECK(reader.open(scratchWav(), error));
    FUZZ_CHECK(reader.info().channels == info.channels);
    FUZZ_CHECK(reader.info().dataSizeKnown || pass.frames == 0);
    std::uint32_t seed = 1;
    const Pass again = readToEnd(reader, seed);
    FUZZ_CHECK(again.samples == pass.samples);
    FUZZ_CHECK(!reader.truncated());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool seekable = input.ConsumeIntegralInRange<int>(0, 3) != 0;  // mostly files, sometimes pipes
    const bool owned = input.ConsumeBool();
    const bool failing = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    const bool writeBack = input.ConsumeIntegralInRange<int>(0, 3) == 0;
    const auto readLimit = input.ConsumeIntegralInRange<std::size_t>(1, 8192);
    const auto failAt = input.ConsumeIntegral<std::uint16_t>();
    auto blockSeed = input.ConsumeIntegral<std::uint32_t>();
    const std::string bytes = input.ConsumeRemainingBytesAsString();

    ByteSource source{bytes, 0, readLimit, failing ? failAt : std::string_view::npos};
    std::FILE* stream = openSource(source, seekable);

    WavReader reader;
    std::string error;
    if (!reader.openStream(stream, owned, error)) {
        FUZZ_CHECK(!error.empty());
        std::int16_t spare[1];
        FUZZ_CHECK(reader.readFrames(spare, 1) == 0);
        FUZZ_CHECK(!reader.rewind());
        if (!owned) std::fclose(stream);
        return 0;
    }
    const WavInfo info = reader.info();
    FUZZ_CHECK(info.channels >= 1 && info.sampleRate == 48000 && info.bitsPerSample == 16);
    const std::uint64_t frameBytes = 2 * static_cast<std::uint64_t>(info.channels);

    const Pass first = readToEnd(reader, blockSeed);
    const bool readFailed = std::ferror(stream) != 0;
    if (info.dataSizeKnown) {
        FUZZ_CHECK(first.frames <= info.dataBytes / frameBytes);
        if (!reader.truncated()) FUZZ_CHECK(first.frames == info.dataBytes / frameBytes);
    } else {
        FUZZ_CHECK(!reader.truncated());
        FUZZ_CHECK(first.frames * frameBytes <= bytes.size());
    }

    // The program loops a recording: back to the first frame and the same audio again.
    const bool rewound = reader.rewind();
    if (!seekable) FUZZ_CHECK(!rewound);
    if (rewound && !readFailed) {
        const Pass second = readToEnd(reader, blockSeed);
        FUZZ_CHECK(second.samples == first.samples);
    }
    if (writeBack && !readFailed) checkWriterRoundTrip(info, first);

    reader.close();
    if (!owned) std::fclose(stream);
    return 0;
}
