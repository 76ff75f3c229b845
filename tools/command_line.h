// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of every program of ours, on CLI11: options are declared once with their types
// and checks, and every bad value becomes a message naming the option. We keep our own usage texts
// (written for people, with the defaults and units spelt out) and our own conventions: help on
// standard output with status 0; a usage error as one line "program: problem" in words a user knows,
// then "Try 'program --help' for more information.", on standard error with status 2 (the whole usage
// would scroll the one line that matters away). CLI11 over getopt_long: typed values with range and
// set checks, "--name=value" and repeated options for free, and nothing to free or reset between tests.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sondeco {

// A problem with the options that their declarations cannot catch (two that exclude each other).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A CLI11 parser set up our way: no generated help, "-h"/"--help" a flag the caller sees, positional
// arguments after options, "-" a positional (standard input).
class CommandLine {
public:
    explicit CommandLine(const char* name) : app_(std::string(), name) {
        app_.set_help_flag();
        app_.add_flag("-h,--help", help_);
        app_.add_flag("--version", version_);
        app_.allow_windows_style_options(false);
    }
    CLI::App& app() { return app_; }
    bool helpAsked() const { return help_; }
    bool versionAsked() const { return version_; }

private:
    CLI::App app_;
    bool help_ = false;
    bool version_ = false;
};

// CLI11's own words for a mistake ("--rate: 1 required INT:{25,50,100,200} missing") in ours.
std::string plainUsageProblem(const CLI::ParseError& error);

// Parses, then: help asked → usage on standard output, status 0; --version → "name version" on standard
// output (the one number CMake's project() sets), status 0; a parse error or a UsageError thrown
// by `check` → the problem and where to find help on standard error, status 2; otherwise whatever
// `run` returns.
template <typename Check, typename Run>
int runTool(const char* name, const std::string& usage, CommandLine& commandLine, int argc, char** argv, Check&& check, Run&& run) {
    const auto complain = [name](const std::string& problem) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", name, problem.c_str(), name);
        return 2;
    };
    const auto helpOrVersion = [&]() -> std::optional<int> {
        if (commandLine.helpAsked()) {
            std::fputs(usage.c_str(), stdout);
            return 0;
        }
        if (commandLine.versionAsked()) {
            std::printf("%s %s\n", name, SONDECO_VERSION);
            return 0;
        }
        return std::nullopt;
    };
    try {
        commandLine.app().parse(argc, argv);
        if (const auto status = helpOrVersion()) return *status;
        check();
    } catch (const CLI::ParseError& error) {
        if (const auto status = helpOrVersion()) return *status;
        return complain(plainUsageProblem(error));
    } catch (const UsageError& error) {
        return complain(error.what());
    }
    return run();
}

// Checks of an option's value that say what is wrong in a user's words: "'450k' is not a number",
// "1 is not one of 25, 50, 100 or 200". CLI11 puts the option's name in front.
CLI::Validator numberFrom(double lowest, double highest);
// A frequency in hertz, or with a unit (304k, 304 kHz, 0.304M, 0.304MHz), within [lowest, highest] Hz.
CLI::Validator frequencyFrom(double lowest, double highest);
// A moment in UTC, 2024-01-15T20:30:00Z (the T may be a space, the Z left out, seconds may have a
// fraction) or 20240115T203000Z; the option then reads seconds since the Unix epoch.
CLI::Validator utcTime();
CLI::Validator wholeNumberFrom(long long lowest, long long highest);
CLI::Validator oneOf(const std::vector<int>& allowed);
CLI::Validator oneOf(const std::vector<std::string>& allowed);

// Flags take no value: "--stats=yes" is a mistake, not a way of saying yes.
inline CLI::Option* addFlag(CLI::App& app, const std::string& names, bool& value) {
    return app.add_flag(names, value)->disable_flag_override();
}

}  // namespace sondeco
