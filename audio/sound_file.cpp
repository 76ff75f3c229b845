// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/sound_file.h"

#include "audio/mpeg_decoder.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sondeco {
namespace {

// How far into a stream a WAV header is looked for, and how far libsndfile may look ahead in a pipe
// while it opens it: a header is a few hundred bytes, and a look farther is one past the audio.
constexpr std::size_t HeaderReach = 1 << 20;

// libsndfile's own words without its decoration: "Error : flac decoder lost sync." becomes "flac
// decoder lost sync", so that it reads on after ours. `system` says whether it was the system's error.
std::string libsndfileMessage(const char* text, bool& system) {
    std::string message = text != nullptr ? text : "unknown error";
    system = message.rfind("System error : ", 0) == 0;
    for (const char* prefix : {"System error : ", "Error : "})
        if (message.rfind(prefix, 0) == 0) message.erase(0, std::strlen(prefix));
    while (!message.empty() && (message.back() == '.' || message.back() == '\n' || message.back() == ' ')) message.pop_back();
    // "Format not recognised" reads on as "format not recognised"; "FLAC ..." and the system's own
    // sentences keep their capitals.
    const auto upper = [&](std::size_t i) { return i < message.size() && std::isupper(static_cast<unsigned char>(message[i])) != 0; };
    if (!system && upper(0) && !upper(1)) message[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(message[0])));
    return message.empty() ? "unknown error" : message;
}

// Programs that write WAV or AIFF to a pipe cannot know its length and put 0x7FFFFFFF or 0xFFFFFFFF
// (or a little less, in whole frames) where the data size goes. Such a size promises nothing.
bool placeholderSize(std::int64_t bytes) {
    return (bytes >= 0x7FFF0000 && bytes <= 0x80000000LL) || (bytes >= 0xFFFF0000LL && bytes <= 0xFFFFFFFFLL);
}

int bytesPerSample(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
            return 1;
        case SF_FORMAT_PCM_16:
            return 2;
        case SF_FORMAT_PCM_24:
            return 3;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
            return 4;
        case SF_FORMAT_DOUBLE:
            return 8;
        default:
            return 0;  // compressed: no fixed size
    }
}

std::string formatName(int format) {
    std::string name;
    for (const int part : {format & SF_FORMAT_TYPEMASK, format & SF_FORMAT_SUBMASK}) {
        SF_FORMAT_INFO info{};
        info.format = part;
        if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) continue;
        if (!name.empty()) name += ' ';
        name += info.name;
    }
    return name;
}

// Whether libsndfile found the data chunk of a WAV, AIFF or AU file to run past the file's end and
// cut it down to what is there. It says so only in its log ("data : 576000 (should be 199956)").
bool dataChunkRunsPastTheEnd(SNDFILE* file) {
    std::vector<char> log(16384);
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    std::istringstream lines(std::string(log.data()));
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(':');
        const auto should = line.find("(should be ");
        if (colon == std::string::npos || should == std::string::npos) continue;
        std::string label = line.substr(0, colon);
        label.erase(0, label.find_first_not_of(' '));
        while (!label.empty() && label.back() == ' ') label.pop_back();
        if (label != "data" && label != "SSND" && label != "Data Size") continue;
        long long stated = 0;
        long long there = 0;
        if (std::sscanf(line.c_str() + colon + 1, "%lld", &stated) != 1) continue;
        if (std::sscanf(line.c_str() + should + std::strlen("(should be "), "%lld", &there) != 1) continue;
        if (stated > there && !placeholderSize(stated)) return true;
    }
    return false;
}

// The first bytes of a pipe or socket, left in it for libsndfile to read (Linux's tee copies a
// pipe's bytes without taking them; a socket can be peeked at).
struct PipeStart {
    std::string bytes;
    bool ended = false;  // the stream ended before `wanted` bytes came
};

PipeStart peekPipe(int descriptor, std::size_t wanted, bool socket) {
    PipeStart start;
    if (socket) {
        start.bytes.assign(wanted, '\0');
        const ssize_t got = ::recv(descriptor, start.bytes.data(), wanted, MSG_PEEK | MSG_WAITALL);
        start.bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        start.ended = got == 0;
        return start;
    }
    int copy[2];
    if (::pipe(copy) != 0) return start;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const ssize_t copied = ::tee(descriptor, copy[1], wanted, 0);
        start.ended = copied == 0;
        if (copied <= 0) break;  // the end of the stream, or a pipe tee cannot copy from
        start.bytes.assign(static_cast<std::size_t>(copied), '\0');
        if (::read(copy[0], start.bytes.data(), start.bytes.size()) != copied) break;
        if (start.bytes.size() >= wanted) break;
        // A writer that has put out less than a header so far: give it a moment for the rest.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(copy[0]);
    ::close(copy[1]);
    return start;
}

}  // namespace

// Bytes for libsndfile's virtual I/O.
class SoundFileReader::Source {
public:
    virtual ~Source() = default;
    virtual sf_count_t length() = 0;
    virtual sf_count_t seek(sf_count_t offset, int whence) = 0;
    virtual sf_count_t read(void* destination, sf_count_t count) = 0;
    virtual sf_count_t tell() = 0;
    virtual void opened() {}
    // A pipe's verdicts at its end: the audio ran on past the size its header gave, and an Ogg
    // stream broke off (nothing when it is not known).
    virtual bool dataRanOn() const { return false; }
    virtual std::optional<bool> oggCutShort() const { return std::nullopt; }

    // `bytes` stand in for the file's own from `offset` on: a header's size put right.
    void patch(std::uint64_t offset, std::string bytes) {
        patchAt_ = static_cast<sf_count_t>(offset);
        patch_ = std::move(bytes);
    }

    static SF_VIRTUAL_IO functions() {
        SF_VIRTUAL_IO io{};
        io.get_filelen = [](void* self) { return static_cast<Source*>(self)->length(); };
        io.seek = [](sf_count_t offset, int whence, void* self) { return static_cast<Source*>(self)->seek(offset, whence); };
        io.read = [](void* destination, sf_count_t count, void* self) { return static_cast<Source*>(self)->read(destination, count); };
        io.write = nullptr;
        io.tell = [](void* self) { return static_cast<Source*>(self)->tell(); };
        return io;
    }

protected:
    // The patch over the `count` bytes just read into `destination` from `from` on.
    void applyPatch(void* destination, sf_count_t from, sf_count_t count) const {
        const auto size = static_cast<sf_count_t>(patch_.size());
        for (sf_count_t at = std::max(from, patchAt_); at < std::min(from + count, patchAt_ + size); ++at)
            static_cast<char*>(destination)[at - from] = patch_[static_cast<std::size_t>(at - patchAt_)];
    }

    // A seek within `length` bytes from `position`.
    static sf_count_t seekWithin(sf_count_t& position, sf_count_t length, sf_count_t offset, int whence) {
        const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? position : length;
        if (offset < -base || (offset > 0 && base > SF_COUNT_MAX - offset)) return -1;
        position = base + offset;
        return position;
    }

private:
    sf_count_t patchAt_ = 0;
    std::string patch_;
};

namespace {

class MemorySource final : public SoundFileReader::Source {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    sf_count_t length() override { return static_cast<sf_count_t>(bytes_.size()); }
    sf_count_t seek(sf_count_t offset, int whence) override { return seekWithin(position_, length(), offset, whence); }
    sf_count_t read(void* destination, sf_count_t count) override {
        if (count <= 0 || position_ >= length()) return 0;
        const sf_count_t n = std::min(count, length() - position_);
        std::memcpy(destination, bytes_.data() + position_, static_cast<std::size_t>(n));
        applyPatch(destination, position_, n);
        position_ += n;
        return n;
    }
    sf_count_t tell() override { return position_; }

private:
    std::string_view bytes_;
    sf_count_t position_ = 0;
};

// A regular file, read where it lies: what libsndfile reads of a file whose header we put right.
class FileSource final : public SoundFileReader::Source {
public:
    FileSource(int descriptor, std::uint64_t base, std::uint64_t size)
        : descriptor_(descriptor), base_(static_cast<off_t>(base)), size_(static_cast<sf_count_t>(size)) {}
    sf_count_t length() override { return size_; }
    sf_count_t seek(sf_count_t offset, int whence) override { return seekWithin(position_, size_, offset, whence); }
    sf_count_t read(void* destination, sf_count_t count) override {
        sf_count_t done = 0;
        while (done < count && position_ + done < size_) {
            const auto wanted = static_cast<std::size_t>(std::min(count - done, size_ - position_ - done));
            const ssize_t got = ::pread(descriptor_, static_cast<char*>(destination) + done, wanted, base_ + position_ + done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += got;
        }
        applyPatch(destination, position_, done);
        position_ += done;
        return done;
    }
    sf_count_t tell() override { return position_; }

private:
    int descriptor_;
    off_t base_;
    sf_count_t size_;
    sf_count_t position_ = 0;
};

// A pipe, as libsndfile's virtual I/O wants a file to be. Everything read is kept until the file is
// open, and a little after: libsndfile's FLAC decoder starts again from the first byte after the
// header has been looked at, and its WAV reader goes back to the audio after a look for chunks
// beyond it. Such a look (past the audio, or at an Ogg stream's last pages for its length) finds
// the end of the stream at once: a pipe has no end to look at before it has been read through, and
// libsndfile takes "no more" for "unknown".
//
// A WAV, RF64 or Wave64 stream whose header's size has been replaced by "unknown" (so that the
// audio can run on past it) is ended here instead: where the header says, unless what follows is
// no chunk but more audio.
class PipeSource final : public SoundFileReader::Source {
public:
    explicit PipeSource(int descriptor) : descriptor_(descriptor) {}
    sf_count_t length() override { return SF_COUNT_MAX; }
    sf_count_t seek(sf_count_t offset, int whence) override {
        const sf_count_t target = whence == SEEK_SET ? offset : whence == SEEK_CUR ? position_ + offset : -1;
        if (target < keptFrom_) return -1;
        if (keepAll_ && target > static_cast<sf_count_t>(HeaderReach) && target > keptEnd()) {
            beyond_ = true;
            position_ = target;
            return position_;
        }
        beyond_ = false;
        while (target > keptEnd() && pull()) {}
        position_ = std::min(target, keptEnd());
        return position_;
    }
    sf_count_t read(void* destination, sf_count_t count) override {
        if (beyond_) return 0;
        const sf_count_t from = position_;
        sf_count_t done = 0;
        while (done < count) {
            if (pendingEnd_ && position_ >= *pendingEnd_) decideTheEnd();
            sf_count_t wanted = count - done;
            if (pendingEnd_) wanted = std::min(wanted, *pendingEnd_ - position_);
            if (end_) {
                if (position_ >= *end_) break;
                wanted = std::min(wanted, *end_ - position_);
            }
            if (position_ >= keptEnd() && !pull()) break;
            const sf_count_t n = std::min(wanted, keptEnd() - position_);
            std::memcpy(static_cast<char*>(destination) + done, kept_.data() + (position_ - keptFrom_), static_cast<std::size_t>(n));
            position_ += n;
            done += n;
        }
        applyPatch(destination, from, done);
        forget();
        return done;
    }
    sf_count_t tell() override { return position_; }
    void opened() override {
        keepAll_ = false;
        forget();
    }
    bool dataRanOn() const override { return ranOn_; }
    std::optional<bool> oggCutShort() const override {
        if (!walker_ || !ended_ || walker_->lost()) return std::nullopt;
        return !walker_->endsWhole();
    }

    // The stream's first `count` bytes, or fewer if it ends sooner; libsndfile reads them again.
    std::string_view start(std::size_t count) {
        while (static_cast<std::size_t>(keptEnd()) < count && pull()) {}
        return {kept_.data(), std::min(count, kept_.size())};
    }
    void endTheAudioAsTheHeaderSays(const RiffLayout& layout) {
        layout_ = layout;
        pendingEnd_ = static_cast<sf_count_t>(layout.statedEnd());
    }
    void watchOggPages() {
        walker_.emplace();
        walker_->feed(kept_.data(), kept_.size());
    }

private:
    static constexpr sf_count_t Window = 1 << 16;  // kept behind the reading position once open

    sf_count_t keptEnd() const { return keptFrom_ + static_cast<sf_count_t>(kept_.size()); }
    bool pull() {
        if (ended_) return false;
        char block[Window];
        ssize_t got = 0;
        do {
            got = ::read(descriptor_, block, sizeof block);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            ended_ = true;
            return false;
        }
        kept_.insert(kept_.end(), block, block + got);
        if (walker_) walker_->feed(block, static_cast<std::size_t>(got));
        return true;
    }
    void forget() {
        if (keepAll_ || position_ - keptFrom_ < 2 * Window) return;
        const sf_count_t drop = position_ - keptFrom_ - Window;
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(drop));
        keptFrom_ += drop;
    }
    // At the end the header gives: a chunk next (or nothing, or too little to be audio) ends the
    // audio there; anything else is audio the header did not count, and it runs on to the end.
    void decideTheEnd() {
        const auto next = static_cast<sf_count_t>(layout_.chunkAfter(layout_.statedBytes));
        while (keptEnd() < next + 16 && pull()) {}
        const sf_count_t after = keptEnd() - *pendingEnd_;
        std::string_view following;
        if (next < keptEnd()) following = {kept_.data() + (next - keptFrom_), static_cast<std::size_t>(keptEnd() - next)};
        if (after < 8 || after < layout_.blockAlign || looksLikeChunk(following, layout_.kind)) {
            end_ = pendingEnd_;
        } else {
            ranOn_ = true;
        }
        pendingEnd_.reset();
    }

    int descriptor_;
    std::vector<char> kept_;  // the stream's bytes [keptFrom_, keptEnd())
    sf_count_t keptFrom_ = 0;
    sf_count_t position_ = 0;
    bool keepAll_ = true;
    bool ended_ = false;
    bool beyond_ = false;  // at a place looked at during the opening: nothing there yet
    RiffLayout layout_;
    std::optional<sf_count_t> pendingEnd_;  // the end the header gives, not yet looked past
    std::optional<sf_count_t> end_;  // where the audio ends for libsndfile
    bool ranOn_ = false;
    std::optional<OggPageWalker> walker_;
};

}  // namespace

SoundFileReader::SoundFileReader() = default;

SoundFileReader::~SoundFileReader() { close(); }

void SoundFileReader::close() {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
    source_.reset();
    mpeg_.reset();
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
    readDescriptor_ = -1;
    base_ = 0;
    length_ = 0;
    memory_ = {};
    inMemory_ = false;
    info_ = SoundFileInfo{};
    announcedFrames_ = 0;
    layout_.reset();
    understated_ = false;
    overstated_ = false;
    ogg_ = false;
    oggCut_.reset();
    framesRead_ = 0;
    ended_ = false;
    error_.clear();
}

bool SoundFileReader::open(const std::string& path, std::string& error) {
    close();
    if (path == "-") return openOn(STDIN_FILENO, error);
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        error = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    descriptor_ = descriptor;
    if (openOn(descriptor, error)) return true;
    close();
    return false;
}

bool SoundFileReader::openDescriptor(int descriptor, std::string& error) {
    close();
    return openOn(descriptor, error);
}

bool SoundFileReader::openOn(int descriptor, std::string& error) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        error = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        error = "is a directory";
        return false;
    }
    readDescriptor_ = descriptor;
    if (S_ISREG(status.st_mode)) {
        // From where the descriptor stands: a file on standard input may have been read into.
        const off_t at = ::lseek(descriptor, 0, SEEK_CUR);
        base_ = at > 0 ? static_cast<std::uint64_t>(at) : 0;
        const auto size = static_cast<std::uint64_t>(status.st_size);
        if (size <= base_) {
            error = "is empty";
            return false;
        }
        return openWhole(size - base_, error);
    }
    SF_INFO format{};
    SNDFILE* file = nullptr;
    info_.pipe = S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
    if (info_.pipe) {
        const PipeStart start = peekPipe(descriptor, 4, S_ISSOCK(status.st_mode));
        if (start.ended && start.bytes.empty()) {
            error = "is empty";
            return false;
        }
        // Through a pipe libsndfile reads these well. Others it reads wrongly (CAF gives nothing),
        // refuses, or, when it takes the bytes for MPEG audio, reads outside its own buffer: they
        // are refused before libsndfile sees them.
        constexpr std::array<std::string_view, 8> PipeFormats{"RIFF", "RIFX", "RF64", "riff", "FORM", ".snd", "OggS", "fLaC"};
        if (std::find(PipeFormats.begin(), PipeFormats.end(), start.bytes) == PipeFormats.end()) {
            error = "is not in a format libsndfile reads through a pipe (WAV, AIFF, AU, FLAC, Ogg); give the file's name instead";
            return false;
        }
        // AIFF and AU go to libsndfile as they are; the others through a source of ours.
        if (start.bytes != "FORM" && start.bytes != ".snd") file = openPipe(descriptor, start.bytes, format);
    }
    if (file == nullptr && source_ == nullptr) {
        file = sf_open_fd(descriptor, SFM_READ, &format, SF_FALSE);
        if (file != nullptr && format.seekable == 0) info_.pipe = true;
    }
    return opened(file, format, error);
}

SNDFILE* SoundFileReader::openPipe(int descriptor, std::string_view magic, SF_INFO& format) {
    auto pipe = std::make_unique<PipeSource>(descriptor);
    if (magic != "OggS" && magic != "fLaC") {
        // The header up to the audio. A size the header gives for its audio is replaced by
        // "unknown", and the stream's own end decides: a pipe cannot be looked at to its end first.
        std::size_t wanted = 64;
        std::optional<RiffLayout> layout;
        for (;;) {
            const std::string_view start = pipe->start(wanted);
            std::size_t more = 0;
            layout = findRiffLayout(start, more);
            if (layout || more <= start.size() || more > HeaderReach || start.size() < wanted) break;
            wanted = more;
        }
        // Compressed encodings keep the size they give: their frames cannot be counted from bytes.
        if (layout && layout->plainSamples && !layout->placeholder) {
            pipe->patch(layout->sizeOffset, layout->sizeField(layout->unknownSize()));
            pipe->endTheAudioAsTheHeaderSays(*layout);
            layout_ = layout;
        }
    }
    if (magic == "OggS") pipe->watchOggPages();
    source_ = std::move(pipe);
    SF_VIRTUAL_IO io = Source::functions();
    SNDFILE* file = sf_open_virtual(&io, SFM_READ, &format, source_.get());
    if (file != nullptr) source_->opened();
    return file;
}

bool SoundFileReader::openMemory(std::string_view bytes, std::string& error) {
    close();
    if (bytes.empty()) {
        error = "is empty";
        return false;
    }
    memory_ = bytes;
    inMemory_ = true;
    return openWhole(bytes.size(), error);
}

// A file whose every byte can be read, by name or in memory: MPEG audio to libmpg123, the rest to
// libsndfile, with a WAV header put right first where it understates the audio.
bool SoundFileReader::openWhole(std::uint64_t length, std::string& error) {
    length_ = length;
    const MpegDecoder::ReadAt readBytes = [this](std::uint64_t offset, void* destination, std::size_t count) {
        return readAt(offset, destination, count);
    };
    if (MpegDecoder::recognises(readBytes)) {
        mpeg_ = std::make_unique<MpegDecoder>();
        if (!mpeg_->open(readBytes, length, error)) {
            mpeg_.reset();
            return false;
        }
        info_.channels = mpeg_->channels();
        info_.sampleRate = mpeg_->sampleRate();
        info_.format = formatName(SF_FORMAT_MPEG | mpeg_->layer());
        info_.frames = mpeg_->frames();
        announcedFrames_ = mpeg_->frames();
        return true;
    }
    checkHeader(length);
    SF_INFO format{};
    SNDFILE* file = nullptr;
    if (inMemory_ || understated_) {
        if (inMemory_) {
            source_ = std::make_unique<MemorySource>(memory_);
        } else {
            source_ = std::make_unique<FileSource>(readDescriptor_, base_, length);
        }
        // The size of the audio that is there, or "unknown" where the field cannot hold it:
        // libsndfile then takes the rest of the file.
        if (understated_)
            source_->patch(layout_->sizeOffset, layout_->sizeField(std::min(length - layout_->dataStart, layout_->unknownSize())));
        SF_VIRTUAL_IO io = Source::functions();
        file = sf_open_virtual(&io, SFM_READ, &format, source_.get());
    } else {
        file = sf_open_fd(readDescriptor_, SFM_READ, &format, SF_FALSE);
    }
    return opened(file, format, error);
}

std::string SoundFileReader::bytesAt(std::uint64_t offset, std::size_t count) const {
    std::string bytes(count, '\0');
    const long got = readAt(offset, bytes.data(), count);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

long SoundFileReader::readAt(std::uint64_t offset, void* destination, std::size_t count) const {
    if (inMemory_) {
        if (offset >= memory_.size()) return 0;
        const std::size_t n = std::min<std::size_t>(count, memory_.size() - static_cast<std::size_t>(offset));
        std::memcpy(destination, memory_.data() + offset, n);
        return static_cast<long>(n);
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got =
            ::pread(readDescriptor_, static_cast<char*>(destination) + done, count - done, static_cast<off_t>(base_ + offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return done > 0 ? static_cast<long>(done) : -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

// A WAV, RF64 or Wave64 file's header against the file: the audio it gives may stop before the end
// of the file (a cut file), or the file may hold more audio than it gives, where there should be
// nothing or another chunk (a recorder that died before it wrote the size).
void SoundFileReader::checkHeader(std::uint64_t length) {
    std::string start = bytesAt(0, static_cast<std::size_t>(std::min<std::uint64_t>(length, 4096)));
    std::size_t more = 0;
    std::optional<RiffLayout> layout = findRiffLayout(start, more);
    while (!layout && more > start.size() && more <= HeaderReach && more <= length) {
        start = bytesAt(0, more);
        layout = findRiffLayout(start, more);
    }
    layout_ = layout;
    if (!layout || layout->placeholder) return;
    const std::uint64_t statedEnd = layout->statedEnd();
    if (statedEnd > length) {
        overstated_ = true;
        return;
    }
    // Too little after it to be audio (or nothing at all), or the next chunk: the header is right.
    const std::uint64_t after = length - statedEnd;
    if (after < 8 || after < static_cast<std::uint64_t>(layout->blockAlign)) return;
    if (looksLikeChunk(bytesAt(layout->chunkAfter(layout->statedBytes), 16), layout->kind)) return;
    understated_ = true;
}

bool SoundFileReader::opened(SNDFILE* file, const SF_INFO& format, std::string& error) {
    if (file == nullptr) {
        bool system = false;
        const std::string message = libsndfileMessage(sf_strerror(nullptr), system);
        if (system) {
            error = "cannot be read: " + message;
        } else {
            error = std::string("is not a sound file libsndfile can read") + (info_.pipe ? " from a pipe: " : ": ") + message;
        }
        source_.reset();
        return false;
    }
    file_ = file;
    info_.channels = format.channels;
    info_.sampleRate = format.samplerate;
    info_.format = formatName(format.format);
    announcedFrames_ = format.frames;
    ogg_ = (format.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG;
    // A pipe has no length, and libsndfile works one out of an endless file for some formats: frames
    // beyond 2^40 (a month at 384 kHz) or a placeholder data size mean "until the stream ends".
    const std::int64_t frameBytes = static_cast<std::int64_t>(bytesPerSample(format.format)) * format.channels;
    const bool endless = format.frames < 0 || format.frames >= (std::int64_t{1} << 40);
    const bool placeholder = !endless && frameBytes > 0 && placeholderSize(format.frames * frameBytes);
    info_.frames = endless || placeholder ? -1 : format.frames;
    // A pipe whose header's size we replaced: the length is the one the header gave, unless that is
    // none at all, the mark of a recorder that never came back to write it; a pipe cannot tell yet.
    if (info_.pipe && layout_) {
        announcedFrames_ = static_cast<std::int64_t>(layout_->statedBytes / static_cast<std::uint64_t>(layout_->blockAlign));
        if (announcedFrames_ == 0) announcedFrames_ = -1;
        info_.frames = announcedFrames_;
    }
    return true;
}

std::string SoundFileReader::timeAt(std::uint64_t frames) const {
    const double seconds = info_.sampleRate > 0 ? static_cast<double>(frames) / info_.sampleRate : 0.0;
    char text[32];
    // Tenths of a second, but never "0.0 s" for some audio.
    std::snprintf(text, sizeof text, frames > 0 && seconds < 0.05 ? "%.3f s" : "%.1f s", seconds);
    return text;
}

std::string SoundFileReader::statedTime() const {
    if (layout_->plainSamples) return timeAt(layout_->statedBytes / static_cast<std::uint64_t>(layout_->blockAlign));
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", layout_->byteRate > 0 ? static_cast<double>(layout_->statedBytes) / layout_->byteRate : 0.0);
    return text;
}

// One read from the decoder; 0 at the end or on a failure, which it then leaves in error_.
std::size_t SoundFileReader::readPiece(double* interleaved, std::size_t frames) {
    if (mpeg_) {
        std::string failure;
        const std::size_t got = mpeg_->read(interleaved, frames, failure);
        if (!failure.empty()) error_ = "is damaged at " + timeAt(framesRead_) + ": " + failure;
        return failure.empty() ? got : 0;
    }
    const sf_count_t got = sf_readf_double(file_, interleaved, static_cast<sf_count_t>(frames));
    if (sf_error(file_) != SF_ERR_NO_ERROR) {
        bool system = false;
        const std::string message = libsndfileMessage(sf_strerror(file_), system);
        error_ = (system ? "cannot be read after " : "is damaged at ") + timeAt(framesRead_) + ": " + message;
        return 0;
    }
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::size_t SoundFileReader::readFrames(double* interleaved, std::size_t frames) {
    // A read that fails may already hold audio from the damage on (libFLAC puts silence in place of a
    // block that fails its check), so its frames are dropped. Reading in pieces of 512 frames keeps
    // what that costs of the audio before the damage under 11 ms at 48 kHz.
    constexpr std::size_t Piece = 512;
    const auto channels = static_cast<std::size_t>(info_.channels);
    std::size_t delivered = 0;
    while ((file_ != nullptr || mpeg_ != nullptr) && !ended_ && delivered < frames) {
        // Pieces end at whole multiples of 512 frames into the file, so that what a damaged file
        // gives does not depend on the sizes it is read in.
        const std::size_t wanted = std::min(Piece - static_cast<std::size_t>(framesRead_ % Piece), frames - delivered);
        const std::size_t got = readPiece(interleaved + delivered * channels, wanted);
        if (got == 0) {
            ended_ = true;
            if (error_.empty()) checkTheEnd();
            break;
        }
        delivered += got;
        framesRead_ += got;
    }
    return delivered;
}

bool SoundFileReader::oggCutShort() {
    if (oggCut_) return *oggCut_;
    if (info_.pipe) {
        oggCut_ = source_ != nullptr && source_->oggCutShort().value_or(false);
        return *oggCut_;
    }
    // A file: its pages followed from the first, which finds one cut in the middle of a page or
    // between two, where libsndfile's look at the last pages for the length does not.
    const std::optional<bool> whole = oggFileEndsWhole([this](std::uint64_t at, std::size_t count) { return bytesAt(at, count); }, length_);
    oggCut_ = whole.has_value() && !*whole;
    return *oggCut_;
}

void SoundFileReader::checkTheEnd() {
    const bool ranOn = understated_ || (info_.pipe && source_ != nullptr && source_->dataRanOn());
    if (ranOn) {
        // All the audio there is has been read; the file is still not what it should be.
        error_ = "has a header that announces " + statedTime() + " of audio, but " + timeAt(framesRead_) +
                 " follow; decoded to the end of the data";
        return;
    }
    if (ogg_ && oggCutShort()) {
        error_ = "is cut short: its audio stops at " + timeAt(framesRead_) + ", before the end of its Ogg stream";
        return;
    }
    if (framesRead_ == 0 && announcedFrames_ != 0 && !layout_) {
        // libsndfile gave nothing of a file that announced audio: some formats cannot be read from a
        // pipe (CAF), and a cut Ogg file loses its length and with it everything.
        error_ = info_.pipe ? "holds no audio libsndfile can read from a pipe; give the file's name instead"
                            : "is cut short or damaged: libsndfile decodes no audio from it";
        return;
    }
    if (info_.frames > 0 && framesRead_ < static_cast<std::uint64_t>(info_.frames)) {
        error_ = "is cut short: its audio stops at " + timeAt(framesRead_) + " of the " + timeAt(static_cast<std::uint64_t>(info_.frames)) +
                 " its header announces";
        return;
    }
    if (!info_.pipe && (layout_ ? overstated_ : file_ != nullptr && dataChunkRunsPastTheEnd(file_))) {
        error_ = "is cut short: its audio stops at " + timeAt(framesRead_) + ", before the end its header announces";
    }
}

bool SoundFileReader::rewind() {
    if (info_.pipe) return false;
    if (mpeg_) {
        framesRead_ = 0;
        error_.clear();
        ended_ = !mpeg_->rewind();
        return !ended_;
    }
    if (file_ == nullptr) return false;
    // Opened again rather than sought: after damage libsndfile keeps its error (and its FLAC decoder
    // its state), and only a fresh start gives the same audio and the same end as the first pass.
    sf_close(file_);
    file_ = nullptr;
    SF_INFO format{};
    if (source_ != nullptr) {
        SF_VIRTUAL_IO io = Source::functions();
        if (source_->seek(0, SEEK_SET) == 0) file_ = sf_open_virtual(&io, SFM_READ, &format, source_.get());
    } else if (::lseek(readDescriptor_, static_cast<off_t>(base_), SEEK_SET) == static_cast<off_t>(base_)) {
        file_ = sf_open_fd(readDescriptor_, SFM_READ, &format, SF_FALSE);
    }
    framesRead_ = 0;
    ended_ = file_ == nullptr;
    error_.clear();
    return file_ != nullptr;
}

}  // namespace sondeco
