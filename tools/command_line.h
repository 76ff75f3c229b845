// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of every program of ours, on CLI11: options are declared once with their types
// and checks, and every bad value becomes a message naming the option. We keep our own usage texts
// (written for people, with the defaults and units spelt out) and our own conventions: help on
// standard output with status 0; a usage error as "program: problem", a blank line and the usage on
// standard error, status 2. CLI11 over getopt_long: typed values with range and set checks, "--name=value"
// and repeated options for free, and nothing to free or reset between tests.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

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

// Parses, then: help asked → usage on standard output, status 0; --version → "name version" on standard
// output (the one number CMake's project() sets), status 0; a parse error or a UsageError thrown
// by `check` → the problem and the usage on standard error, status 2; otherwise whatever `run` returns.
template <typename Check, typename Run>
int runTool(const char* name, const char* usage, CommandLine& commandLine, int argc, char** argv, Check&& check, Run&& run) {
    try {
        commandLine.app().parse(argc, argv);
        if (commandLine.helpAsked()) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (commandLine.versionAsked()) {
            std::printf("%s %s\n", name, SONDECO_VERSION);
            return 0;
        }
        check();
    } catch (const CLI::ParseError& error) {
        if (commandLine.helpAsked()) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (commandLine.versionAsked()) {
            std::printf("%s %s\n", name, SONDECO_VERSION);
            return 0;
        }
        std::fprintf(stderr, "%s: %s\n\n%s", name, error.what(), usage);
        return 2;
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s\n\n%s", name, error.what(), usage);
        return 2;
    }
    return run();
}

// Flags take no value: "--stats=yes" is a mistake, not a way of saying yes.
inline CLI::Option* addFlag(CLI::App& app, const std::string& names, bool& value) {
    return app.add_flag(names, value)->disable_flag_override();
}

}  // namespace sondeco
