// SPDX-License-Identifier: GPL-3.0-or-later
// A small INI file reader and writer with the rules of the Windows profile functions that our settings
// file relies on. Plain C++ and POSIX: no Qt, so it can be tested and used without a window.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

// An INI file held in memory line by line, so that writing a few keys gives back every other line
// (comments, blank lines, lines we cannot make sense of, sections and keys of others) byte for byte.
//
// Reading rules:
// - A section starts at a line whose first non-blank character is '[' and which has a ']'; its name is
//   the text between them, trimmed. Lines before the first section belong to no section.
// - A key line is any other line with a '=' that does not start with ';' (a comment). The key is the
//   trimmed text before the first '='; the value is the trimmed text after it. A value enclosed in one
//   pair of double or single quotes loses that pair, as the Windows profile functions do, so quotes
//   are how a value keeps leading or trailing blanks.
// - Section and key names match without regard to ASCII case. When a section or a key appears twice,
//   the first one counts; the later one is kept in the file but never read.
// - Line ends may be CR LF or LF, and the last line may lack one. A UTF-8 byte order mark is skipped.
class IniFile {
public:
    // A file up to this size is read whole, so that saving gives back every line of it. Ours is a few
    // hundred bytes; past this size a file is not one to hold in memory, and only this much of it is
    // read: the rest, and the line cut short at this point, count as absent, and the file is not
    // complete() and never written back.
    static constexpr std::size_t MaxFileBytes = 16 * 1024 * 1024;
    // The longest string value readString gives back.
    static constexpr std::size_t MaxStringLength = 2047;

    IniFile() = default;

    // Reads `path`. A file that does not exist reads as an empty one and that is not an error. Returns
    // false, with the system's reason (e.g. "Permission denied"), when the file exists but cannot be
    // read; the contents are then empty.
    bool load(const std::string& path, std::string& reason);

    // Takes the contents from text instead of a file (same rules, same size limit).
    void parse(std::string_view text);

    // The whole file as it would be saved.
    std::string text() const;

    // False when the file was longer than MaxFileBytes: text() then lacks its end, and writing it over
    // the file would lose that end.
    bool complete() const { return complete_; }
    // Why a file that is not complete() is not written, for the user.
    static std::string incompleteReason();

    // The value of `key` in `section`, or `defaultValue` when either is absent. At most MaxStringLength
    // bytes; a UTF-8 character cut in two at that point is dropped whole.
    std::string readString(std::string_view section, std::string_view key, const std::string& defaultValue) const;

    // A whole decimal number with an optional sign, or, when the value has three or more characters and
    // starts with "0x" or "0X", hexadecimal digits read as a 32-bit pattern ("0xFFFFFFFF" is -1).
    // Anything else gives `defaultValue`: an empty value, "abc", a number out of range, and also
    // "12abc". The Windows GetPrivateProfileInt would read the leading digits of that last one as 12,
    // but a value with trailing junk is not a number we wrote, so we take the default instead.
    int readInteger(std::string_view section, std::string_view key, int defaultValue) const;

    // An integer that is true when not 0; a value that is not a number (such as "true") gives the default.
    bool readBool(std::string_view section, std::string_view key, bool defaultValue) const;

    // Sets `key` in `section`. An existing key keeps its spelling and its place, and only the text after
    // its '=' and the blanks that follow the '=' changes. A new key goes after the last non-blank line of
    // its section; a new section goes at the end of the file, parted from what comes before it by a
    // blank line. Line breaks in the value become blanks, since a value is one line. Section and key
    // names must be one line without ']' or '=' respectively; ours are fixed words.
    void writeString(std::string_view section, std::string_view key, std::string_view value);
    void writeInteger(std::string_view section, std::string_view key, int value);
    void writeBool(std::string_view section, std::string_view key, bool value);  // "1" or "0"

    // Replaces the file at `path` with text() without ever leaving it half written (see
    // writeFileAtomically). On failure `error` names the file and says why, and the old file is untouched.
    // A file that was not read complete() is refused.
    bool save(const std::string& path, std::string& error) const;

private:
    struct Line {
        std::string text;  // without its line end
        std::string end;  // "\r\n", "\n", or "" for a last line without one
    };

    // Index of the first line of the first section called `section`, or npos.
    std::size_t findSection(std::string_view section) const;
    // Index of the line holding `key` in the section starting at `sectionLine`, or npos.
    std::size_t findKey(std::size_t sectionLine, std::string_view key) const;
    std::size_t sectionEnd(std::size_t sectionLine) const;
    // The trimmed value, with one pair of enclosing quotes removed; false when absent.
    bool findValue(std::string_view section, std::string_view key, std::string_view& value) const;
    void appendLine(std::string text);

    std::vector<Line> lines_;
    bool byteOrderMark_ = false;
    bool complete_ = true;
    // Line end for the lines we add: the file's own (its first line end), CR LF for a new file since
    // that is what INI files have always had and every editor copes with it.
    std::string newline_ = "\r\n";
};

// Replaces the file at `path` with `contents` so that a crash or a full disk leaves either the old
// file or the new one, never a part: the bytes go to a new file in the same folder, are flushed to
// the disk, and that file is then renamed over the old one. An existing file's permissions are kept,
// and a symbolic link is written through to its target rather than replaced. Returns false with
// the system's reason (e.g. "Permission denied") on failure.
bool writeFileAtomically(const std::string& path, std::string_view contents, std::string& reason);

}  // namespace sondeco
