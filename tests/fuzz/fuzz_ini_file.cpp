// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: any bytes as the settings file. IniFile parses them, the program's keys are read,
// written and read back, and loadSettings reads the same bytes from a real file. Beyond never
// crashing:
// - text() gives back the bytes it was given, every one (a settings file is shared with whatever
//   else the user keeps in it, and we must not damage their lines);
// - a value written is the value read back, for strings of any bytes and for every integer;
// - writing a key changes that key only: the program's other keys read as they did;
// - the text after writing parses to the same values again (what is saved is what the next start reads);
// - loadSettings always brings the centre frequency and the page number into their ranges.
//
// Input: the last bytes choose the keys and values to write, and whether the file is also read from
// disk; the rest is the file.

#include "app/ini_file.h"
#include "app/settings_file.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace sondeco;

struct Key {
    const char* section;
    const char* name;
};

// The program's own keys, and a few of the same names in other spellings and sections.
constexpr std::array<Key, 12> Keys{{
    {"Form", "MainTop"},
    {"Form", "MainLeft"},
    {"Form", "MainWidth"},
    {"Form", "MainHeight"},
    {"Form", "MainMaxmum"},
    {"Form", "TabIndex"},
    {"Wave", "WaveInName"},
    {"Wave", "DecBitRate"},
    {"Wave", "DecFreqPos"},
    {"WAVE", "decfreqpos"},
    {"Other", "Key"},
    {"form", "A b"},
}};

const std::string& scratchIni() {
    static const fuzzing::ScratchFile file("sondeco-fuzz-ini");
    return file.path();
}

// What reading gives for a written string (short ones, as written here): a value is one line.
std::string asRead(std::string value) {
    for (char& c : value)
        if (c == '\r' || c == '\n') c = ' ';
    return value;
}

std::array<std::string, Keys.size()> readAll(const IniFile& file) {
    std::array<std::string, Keys.size()> values;
    for (std::size_t k = 0; k < Keys.size(); ++k) values[k] = file.readString(Keys[k].section, Keys[k].name, "(absent)");
    return values;
}

// Two sections or keys that differ only in ASCII case are the same one.
bool sameKey(const Key& a, const Key& b) {
    auto lower = [](std::string_view text) {
        std::string folded(text);
        for (char& c : folded)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return folded;
    };
    return lower(a.section) == lower(b.section) && lower(a.name) == lower(b.name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto writes = input.ConsumeIntegralInRange<int>(0, 4);
    struct Write {
        std::size_t key;
        int kind;  // 0 string, 1 integer, 2 bool
        std::string text;
        int number;
    };
    std::vector<Write> plan;
    for (int i = 0; i < writes; ++i) {
        Write write{};
        write.key = input.ConsumeIntegralInRange<std::size_t>(0, Keys.size() - 1);
        write.kind = input.ConsumeIntegralInRange<int>(0, 2);
        write.number = input.ConsumeIntegral<int>();
        write.text = input.ConsumeRandomLengthString(64);
        plan.push_back(std::move(write));
    }
    // Reading from disk allocates the whole size limit (a megabyte) every time: done for one input in
    // eight only, or it would take most of the time of every run. (The cut at that limit is left to
    // the settings tests for the same reason.)
    const bool throughFile = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    const std::string text = input.ConsumeRemainingBytesAsString();

    IniFile file;
    file.parse(text);
    FUZZ_CHECK(file.text() == text);

    // Every typed read of every key; none may fail, whatever the value.
    for (const Key& key : Keys) {
        const std::string value = file.readString(key.section, key.name, "default");
        FUZZ_CHECK(value.size() <= IniFile::MaxStringLength);
        const int number = file.readInteger(key.section, key.name, 12345);
        FUZZ_CHECK(number == 12345 || file.readInteger(key.section, key.name, -1) == number);
        (void)file.readBool(key.section, key.name, true);
    }

    for (const Write& write : plan) {
        const Key& key = Keys[write.key];
        auto before = readAll(file);
        std::string expected;
        if (write.kind == 0) {
            file.writeString(key.section, key.name, write.text);
            expected = asRead(write.text);
            FUZZ_CHECK(file.readString(key.section, key.name, "x") == expected);
        } else if (write.kind == 1) {
            file.writeInteger(key.section, key.name, write.number);
            FUZZ_CHECK(file.readInteger(key.section, key.name, write.number ^ 1) == write.number);
            expected = std::to_string(write.number);
        } else {
            file.writeBool(key.section, key.name, write.number & 1);
            FUZZ_CHECK(file.readBool(key.section, key.name, !(write.number & 1)) == static_cast<bool>(write.number & 1));
            expected = write.number & 1 ? "1" : "0";
        }
        const auto after = readAll(file);
        for (std::size_t k = 0; k < Keys.size(); ++k) {
            if (sameKey(Keys[k], key)) {
                FUZZ_CHECK(after[k] == expected);
            } else {
                FUZZ_CHECK(after[k] == before[k]);
            }
        }
    }

    // What would be saved reads back the same.
    if (!plan.empty()) {
        IniFile saved;
        saved.parse(file.text());
        FUZZ_CHECK(saved.text() == file.text());
        FUZZ_CHECK(readAll(saved) == readAll(file));
    }

    // The same bytes as the program's settings file.
    if (throughFile) {
        std::ofstream(scratchIni(), std::ios::binary | std::ios::trunc) << text;
        SettingsFields fields;
        fields.WaveInIndex = 7;
        loadSettings(fields, scratchIni());
        FUZZ_CHECK(fields.DecFreqPos >= 50 && fields.DecFreqPos <= 100);
        FUZZ_CHECK(fields.TabIndex >= 0 && fields.TabIndex <= 10);
        FUZZ_CHECK(fields.WaveInIndex == 7);
        FUZZ_CHECK(fields.WaveInName.size() <= IniFile::MaxStringLength);
    }
    return 0;
}
