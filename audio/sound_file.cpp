// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/sound_file.h"

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

    static SF_VIRTUAL_IO functions() {
        SF_VIRTUAL_IO io{};
        io.get_filelen = [](void* self) { return static_cast<Source*>(self)->length(); };
        io.seek = [](sf_count_t offset, int whence, void* self) { return static_cast<Source*>(self)->seek(offset, whence); };
        io.read = [](void* destination, sf_count_t count, void* self) { return static_cast<Source*>(self)->read(destination, count); };
        io.write = nullptr;
        io.tell = [](void* self) { return static_cast<Source*>(self)->tell(); };
        return io;
    }
};

namespace {

class MemorySource final : public SoundFileReader::Source {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    sf_count_t length() override { return static_cast<sf_count_t>(bytes_.size()); }
    sf_count_t seek(sf_count_t offset, int whence) override {
        const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? position_ : length();
        if (offset < -base || (offset > 0 && base > SF_COUNT_MAX - offset)) return -1;
        position_ = base + offset;
        return position_;
    }
    sf_count_t read(void* destination, sf_count_t count) override {
        if (count <= 0 || position_ >= length()) return 0;
        const sf_count_t n = std::min(count, length() - position_);
        std::memcpy(destination, bytes_.data() + position_, static_cast<std::size_t>(n));
        position_ += n;
        return n;
    }
    sf_count_t tell() override { return position_; }

private:
    std::string_view bytes_;
    sf_count_t position_ = 0;
};

// A pipe that can go back. libsndfile's FLAC decoder starts again from the first byte after the
// header has been looked at, which libsndfile cannot do on a pipe ("lost sync"); so FLAC from a pipe
// comes through here, where everything read is kept until the file is open, and a little after.
class PipeReplaySource final : public SoundFileReader::Source {
public:
    explicit PipeReplaySource(int descriptor) : descriptor_(descriptor) {}
    // Nobody can tell a pipe's length; FLAC takes its own from its header.
    sf_count_t length() override { return SF_COUNT_MAX; }
    sf_count_t seek(sf_count_t offset, int whence) override {
        const sf_count_t target = whence == SEEK_SET ? offset : whence == SEEK_CUR ? position_ + offset : -1;
        if (target < keptFrom_) return -1;
        while (target > keptEnd() && pull()) {}
        position_ = std::min(target, keptEnd());
        return position_;
    }
    sf_count_t read(void* destination, sf_count_t count) override {
        sf_count_t done = 0;
        while (done < count && (position_ < keptEnd() || pull())) {
            const sf_count_t n = std::min(count - done, keptEnd() - position_);
            std::memcpy(static_cast<char*>(destination) + done, kept_.data() + (position_ - keptFrom_), static_cast<std::size_t>(n));
            position_ += n;
            done += n;
        }
        forget();
        return done;
    }
    sf_count_t tell() override { return position_; }
    void opened() override {
        keepAll_ = false;
        forget();
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
        return true;
    }
    void forget() {
        if (keepAll_ || position_ - keptFrom_ < 2 * Window) return;
        const sf_count_t drop = position_ - keptFrom_ - Window;
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(drop));
        keptFrom_ += drop;
    }

    int descriptor_;
    std::vector<char> kept_;  // the stream's bytes [keptFrom_, keptEnd())
    sf_count_t keptFrom_ = 0;
    sf_count_t position_ = 0;
    bool keepAll_ = true;
    bool ended_ = false;
};

}  // namespace

SoundFileReader::SoundFileReader() = default;

SoundFileReader::~SoundFileReader() { close(); }

void SoundFileReader::close() {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
    source_.reset();
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
    readDescriptor_ = -1;
    info_ = SoundFileInfo{};
    announcedFrames_ = 0;
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
    if (S_ISREG(status.st_mode) && status.st_size == 0) {
        error = "is empty";
        return false;
    }
    SF_INFO format{};
    SNDFILE* file = nullptr;
    readDescriptor_ = descriptor;
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
        if (start.bytes == "fLaC") {
            source_ = std::make_unique<PipeReplaySource>(descriptor);
            SF_VIRTUAL_IO io = Source::functions();
            file = sf_open_virtual(&io, SFM_READ, &format, source_.get());
            if (file != nullptr) source_->opened();
        }
    }
    if (file == nullptr && source_ == nullptr) {
        file = sf_open_fd(descriptor, SFM_READ, &format, SF_FALSE);
        if (file != nullptr && format.seekable == 0) info_.pipe = true;
    }
    return opened(file, format, error);
}

bool SoundFileReader::openMemory(std::string_view bytes, std::string& error) {
    close();
    if (bytes.empty()) {
        error = "is empty";
        return false;
    }
    source_ = std::make_unique<MemorySource>(bytes);
    SF_VIRTUAL_IO io = Source::functions();
    SF_INFO format{};
    SNDFILE* file = sf_open_virtual(&io, SFM_READ, &format, source_.get());
    return opened(file, format, error);
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
    // A pipe has no length, and libsndfile works one out of an endless file for some formats: frames
    // beyond 2^40 (a month at 384 kHz) or a placeholder data size mean "until the stream ends".
    const std::int64_t frameBytes = static_cast<std::int64_t>(bytesPerSample(format.format)) * format.channels;
    const bool endless = format.frames < 0 || format.frames >= (std::int64_t{1} << 40);
    const bool placeholder = !endless && frameBytes > 0 && placeholderSize(format.frames * frameBytes);
    info_.frames = endless || placeholder ? -1 : format.frames;
    return true;
}

std::string SoundFileReader::timeAt(std::uint64_t frames) const {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", info_.sampleRate > 0 ? static_cast<double>(frames) / info_.sampleRate : 0.0);
    return text;
}

std::size_t SoundFileReader::readFrames(double* interleaved, std::size_t frames) {
    // A read that fails may already hold audio from the damage on (libFLAC puts silence in place of a
    // block that fails its check), so its frames are dropped. Reading in pieces of 512 frames keeps
    // what that costs of the audio before the damage under 11 ms at 48 kHz.
    constexpr std::size_t Piece = 512;
    const auto channels = static_cast<std::size_t>(info_.channels);
    std::size_t delivered = 0;
    while (file_ != nullptr && !ended_ && delivered < frames) {
        // Pieces end at whole multiples of 512 frames into the file, so that what a damaged file
        // gives does not depend on the sizes it is read in.
        const std::size_t wanted = std::min(Piece - static_cast<std::size_t>(framesRead_ % Piece), frames - delivered);
        const sf_count_t got = sf_readf_double(file_, interleaved + delivered * channels, static_cast<sf_count_t>(wanted));
        if (sf_error(file_) != SF_ERR_NO_ERROR) {
            bool system = false;
            const std::string message = libsndfileMessage(sf_strerror(file_), system);
            error_ = (system ? "cannot be read after " : "is damaged at ") + timeAt(framesRead_) + ": " + message;
            ended_ = true;
            break;
        }
        if (got <= 0) {
            ended_ = true;
            checkTheEnd();
            break;
        }
        delivered += static_cast<std::size_t>(got);
        framesRead_ += static_cast<std::uint64_t>(got);
    }
    return delivered;
}

void SoundFileReader::checkTheEnd() {
    if (framesRead_ == 0 && announcedFrames_ != 0) {
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
    if (!info_.pipe && dataChunkRunsPastTheEnd(file_))
        error_ = "is cut short: its audio stops at " + timeAt(framesRead_) + ", before the end its header announces";
}

bool SoundFileReader::rewind() {
    if (file_ == nullptr || info_.pipe) return false;
    // Opened again rather than sought: after damage libsndfile keeps its error (and its FLAC decoder
    // its state), and only a fresh start gives the same audio and the same end as the first pass.
    sf_close(file_);
    file_ = nullptr;
    SF_INFO format{};
    if (source_ != nullptr) {
        SF_VIRTUAL_IO io = Source::functions();
        if (source_->seek(0, SEEK_SET) == 0) file_ = sf_open_virtual(&io, SFM_READ, &format, source_.get());
    } else if (::lseek(readDescriptor_, 0, SEEK_SET) == 0) {
        file_ = sf_open_fd(readDescriptor_, SFM_READ, &format, SF_FALSE);
    }
    framesRead_ = 0;
    ended_ = file_ == nullptr;
    error_.clear();
    return file_ != nullptr;
}

}  // namespace sondeco
