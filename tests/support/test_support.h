// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the tests: real captures, scratch files, external programs, gpsd's JSON.
#pragma once

#include "rtcm/serial_format.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace sondeco::testing {

// The transmitted bits of a 6-of-8 capture, without its '#' comment lines.
inline std::vector<std::uint8_t> readCaptureBits(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << path;
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<std::uint8_t> bits;
    SerialCaptureReader().feed(bytes, [&bits](std::uint8_t bit) { bits.push_back(bit); });
    return bits;
}

// A file name inside a fresh directory for this test.
inline std::filesystem::path scratchPath(const std::string& name) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    auto directory = std::filesystem::temp_directory_path() / (std::string("sondeco-test-") + test->test_suite_name() + "-" + test->name());
    std::filesystem::create_directories(directory);
    return directory / name;
}

struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output
    std::string errors;  // standard error
};

inline std::string readWhole(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Runs a shell command line, capturing both output streams.
inline CommandResult runCommand(const std::string& command) {
    const auto out = scratchPath("command.out");
    const auto err = scratchPath("command.err");
    const int status = std::system((command + " >'" + out.string() + "' 2>'" + err.string() + "'").c_str());
    CommandResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.output = readWhole(out);
    result.errors = readWhole(err);
    return result;
}

// Every value that follows "key": in one line of gpsd's JSON, in order; true and false as 1 and 0.
inline std::vector<double> jsonNumbers(const std::string& line, const std::string& key) {
    std::vector<double> values;
    const std::string pattern = "\"" + key + "\":";
    for (auto at = line.find(pattern); at != std::string::npos; at = line.find(pattern, at + 1)) {
        const char* value = line.c_str() + at + pattern.size();
        values.push_back(line.compare(at + pattern.size(), 4, "true") == 0 ? 1.0 : std::strtod(value, nullptr));
    }
    return values;
}

// Every value that follows "key": in one line of JSON, as its text (numbers, true, false, null).
inline std::vector<std::string> jsonTokens(const std::string& line, const std::string& key) {
    std::vector<std::string> values;
    const std::string pattern = "\"" + key + "\":";
    for (auto at = line.find(pattern); at != std::string::npos; at = line.find(pattern, at + 1)) {
        const auto start = at + pattern.size();
        values.push_back(line.substr(start, line.find_first_of(",}]", start) - start));
    }
    return values;
}

// A parameterised test's name made of its parameter, a file name: letters and digits kept, the rest '_'.
inline std::string fileParameterName(const ::testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

}  // namespace sondeco::testing
