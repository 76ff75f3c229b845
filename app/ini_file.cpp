// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ini_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sondeco {
namespace {

constexpr std::string_view Blanks = " \t\r\v\f";
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
constexpr auto npos = std::string_view::npos;

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(Blanks);
    if (first == npos) return {};
    return text.substr(first, text.find_last_not_of(Blanks) - first + 1);
}

bool isBlankLine(std::string_view text) { return text.find_first_not_of(Blanks) == npos; }

bool isQuote(char c) { return c == '"' || c == '\''; }

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Only ASCII letters fold: names are matched byte for byte otherwise, whatever the user's locale.
bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

bool parseSectionLine(std::string_view line, std::string_view& name) {
    const auto text = trimmed(line);
    if (text.empty() || text.front() != '[') return false;
    const auto close = text.find(']');
    if (close == npos) return false;
    name = trimmed(text.substr(1, close - 1));
    return true;
}

bool parseKeyLine(std::string_view line, std::string_view& key, std::size_t& equals) {
    const auto text = trimmed(line);
    if (text.empty() || text.front() == '[' || text.front() == ';') return false;
    equals = line.find('=');
    if (equals == npos) return false;
    key = trimmed(line.substr(0, equals));
    return !key.empty();
}

// How a value is written so that reading gives it back: a value that reading would trim or unquote
// is wrapped in one more pair of double quotes.
std::string encodeValue(std::string_view value) {
    std::string text(value);
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    if (text.empty()) return text;
    const bool trimmedAway = Blanks.find(text.front()) != npos || Blanks.find(text.back()) != npos;
    const bool unquoted = text.size() >= 2 && isQuote(text.front()) && text.back() == text.front();
    return (trimmedAway || unquoted) ? '"' + text + '"' : text;
}

// Drops a UTF-8 sequence that the length limit cut short, so a long device name never ends in a
// broken character.
void dropCutCharacter(std::string& text) {
    std::size_t start = text.size();
    while (start > 0 && text.size() - start < 4) {
        --start;
        const auto byte = static_cast<unsigned char>(text[start]);
        if ((byte & 0xC0) == 0x80) continue;  // continuation byte: look further back
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        if (text.size() - start < length) text.resize(start);
        return;
    }
}

bool parseWholeNumber(std::string_view text, int& number) {
    if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const auto digits = text.substr(2);
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
        if (error != std::errc{} || end != digits.data() + digits.size() || value > 0xFFFFFFFFu) return false;
        number = static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
        return true;
    }
    // from_chars takes a '-' but not a '+'; after a '+' a digit must follow, not another sign.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || text.front() == '-') return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc{} && end == text.data() + text.size() && !text.empty();
}

std::string systemReason(int error) { return std::strerror(error); }

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The new file takes the old one's place, so it takes its permissions and, where the system lets us,
// its owner. Failing at that is no reason to lose the user's settings, so it is not an error.
void takeOverOwnership(int fd, const struct stat& old) {
    ::fchmod(fd, old.st_mode & 07777);
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        [[maybe_unused]] const int changed = ::fchown(fd, old.st_uid, old.st_gid);
    }
}

}  // namespace

bool IniFile::load(const std::string& path, std::string& reason) {
    parse({});
    // Non-blocking, so that a FIFO left at the settings path cannot hang the start-up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return true;
        reason = systemReason(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        reason = S_ISDIR(status.st_mode) ? systemReason(EISDIR) : "not a regular file";
        ::close(fd);
        return false;
    }
    // Up to one byte beyond the limit, which tells parse() that the file goes on. The size is only a
    // hint for the first allocation: the file may grow or shrink while we read it.
    const std::size_t wanted = MaxFileBytes + 1;
    const std::size_t expected = static_cast<std::size_t>(std::max<off_t>(status.st_size, 0));
    std::string bytes(std::min(expected + 1, wanted), '\0');
    std::size_t have = 0;
    while (have < wanted) {
        if (have == bytes.size()) bytes.resize(std::min(2 * bytes.size(), wanted));
        const auto got = ::read(fd, bytes.data() + have, bytes.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            reason = systemReason(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    ::close(fd);
    bytes.resize(have);
    parse(bytes);
    return true;
}

void IniFile::parse(std::string_view text) {
    lines_.clear();
    byteOrderMark_ = false;
    complete_ = text.size() <= MaxFileBytes;
    newline_ = "\r\n";
    if (!complete_) {
        // The line running over the limit is as absent as everything after it.
        text = text.substr(0, MaxFileBytes);
        const auto lastEnd = text.rfind('\n');
        text = lastEnd == npos ? std::string_view{} : text.substr(0, lastEnd + 1);
    }
    if (text.starts_with(ByteOrderMark)) {
        byteOrderMark_ = true;
        text.remove_prefix(ByteOrderMark.size());
    }
    bool newlineSeen = false;
    while (!text.empty()) {
        const auto lineEnd = text.find('\n');
        if (lineEnd == npos) {
            lines_.push_back({std::string(text), {}});
            break;
        }
        const bool crlf = lineEnd > 0 && text[lineEnd - 1] == '\r';
        Line line{std::string(text.substr(0, crlf ? lineEnd - 1 : lineEnd)), crlf ? "\r\n" : "\n"};
        if (!newlineSeen) {
            newline_ = line.end;
            newlineSeen = true;
        }
        lines_.push_back(std::move(line));
        text.remove_prefix(lineEnd + 1);
    }
}

std::string IniFile::incompleteReason() {
    return "it is larger than " + std::to_string(MaxFileBytes / (1024 * 1024)) + " MiB, so only its start was read";
}

std::string IniFile::text() const {
    std::string result = byteOrderMark_ ? std::string(ByteOrderMark) : std::string();
    for (const auto& line : lines_) {
        result += line.text;
        result += line.end;
    }
    return result;
}

std::size_t IniFile::findSection(std::string_view section) const {
    std::string_view name;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (parseSectionLine(lines_[i].text, name) && sameName(name, section)) return i;
    }
    return npos;
}

std::size_t IniFile::sectionEnd(std::size_t sectionLine) const {
    std::string_view name;
    for (std::size_t i = sectionLine + 1; i < lines_.size(); ++i) {
        if (parseSectionLine(lines_[i].text, name)) return i;
    }
    return lines_.size();
}

std::size_t IniFile::findKey(std::size_t sectionLine, std::string_view key) const {
    const auto end = sectionEnd(sectionLine);
    std::string_view name;
    std::size_t equals = 0;
    for (std::size_t i = sectionLine + 1; i < end; ++i) {
        if (parseKeyLine(lines_[i].text, name, equals) && sameName(name, key)) return i;
    }
    return npos;
}

bool IniFile::findValue(std::string_view section, std::string_view key, std::string_view& value) const {
    const auto sectionLine = findSection(section);
    if (sectionLine == npos) return false;
    const auto keyLine = findKey(sectionLine, key);
    if (keyLine == npos) return false;
    const std::string_view text = lines_[keyLine].text;
    value = trimmed(text.substr(text.find('=') + 1));
    if (value.size() >= 2 && isQuote(value.front()) && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return true;
}

std::string IniFile::readString(std::string_view section, std::string_view key, const std::string& defaultValue) const {
    std::string_view value;
    if (!findValue(section, key, value)) return defaultValue;
    if (value.size() <= MaxStringLength) return std::string(value);
    std::string cut(value.substr(0, MaxStringLength));
    dropCutCharacter(cut);
    return cut;
}

int IniFile::readInteger(std::string_view section, std::string_view key, int defaultValue) const {
    std::string_view value;
    int number = 0;
    return findValue(section, key, value) && parseWholeNumber(value, number) ? number : defaultValue;
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool defaultValue) const {
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void IniFile::appendLine(std::string text) {
    if (!lines_.empty() && lines_.back().end.empty()) lines_.back().end = newline_;
    lines_.push_back({std::move(text), newline_});
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    const std::string encoded = encodeValue(value);
    const auto sectionLine = findSection(section);
    if (sectionLine == npos) {
        if (!lines_.empty() && !isBlankLine(lines_.back().text)) appendLine({});
        appendLine('[' + std::string(section) + ']');
        appendLine(std::string(key) + '=' + encoded);
        return;
    }
    if (const auto keyLine = findKey(sectionLine, key); keyLine != npos) {
        std::string& text = lines_[keyLine].text;
        const auto valueStart = text.find_first_not_of(Blanks, text.find('=') + 1);
        text.replace(valueStart == npos ? text.size() : valueStart, npos, encoded);
        return;
    }
    // After the section's last non-blank line, so the blank line that parts it from the next stays.
    std::size_t last = sectionLine;
    const auto end = sectionEnd(sectionLine);
    for (std::size_t i = sectionLine + 1; i < end; ++i) {
        if (!isBlankLine(lines_[i].text)) last = i;
    }
    if (lines_[last].end.empty()) lines_[last].end = newline_;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last + 1), Line{std::string(key) + '=' + encoded, newline_});
}

void IniFile::writeInteger(std::string_view section, std::string_view key, int value) { writeString(section, key, std::to_string(value)); }

void IniFile::writeBool(std::string_view section, std::string_view key, bool value) { writeString(section, key, value ? "1" : "0"); }

bool IniFile::save(const std::string& path, std::string& error) const {
    std::string reason;
    if (!complete_) {
        error = "Can not write " + path + ": " + incompleteReason();
        return false;
    }
    if (writeFileAtomically(path, text(), reason)) return true;
    error = "Can not write " + path + ": " + reason;
    return false;
}

bool writeFileAtomically(const std::string& path, std::string_view contents, std::string& reason) {
    std::string target = path;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    const bool exists = ::stat(target.c_str(), &status) == 0;
    // A file its owner made read-only stays as it is, though renaming over it would succeed (the
    // folder is writable, and root may write anything): the mode bits are the owner's wish.
    if (exists && ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target.c_str(), W_OK) != 0)) {
        reason = "the file is read-only";
        return false;
    }

    // A name no other process uses: our process id, a counter, and O_EXCL to be sure.
    static unsigned counter = 0;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = target + '.' + std::to_string(::getpid()) + '-' + std::to_string(counter++) + ".tmp";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        reason = systemReason(errno);
        return false;
    }
    if (exists) takeOverOwnership(fd, status);
    const bool written = writeAll(fd, contents) && ::fsync(fd) == 0;
    int error = written ? 0 : errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        reason = systemReason(error);
        return false;
    }
    // The rename itself lives in the folder; without this a power cut could still bring back the old file.
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

}  // namespace sondeco
