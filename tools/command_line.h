// Option values for the command-line tools: every bad value becomes a UsageError whose message says
// which option wanted what, so the tool can print it above its usage text and exit with status 2.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline double parseNumber(std::string_view option, const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value)) {
        throw UsageError(std::string(option) + " needs a number, not '" + text + "'");
    }
    return value;
}

inline long long parseInteger(std::string_view option, const std::string& text, long long low, long long high) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || value < low || value > high) {
        throw UsageError(std::string(option) + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + text + "'");
    }
    return value;
}

// Walks a tool's arguments: options as "-x VALUE", "--name VALUE" or "--name=VALUE"; anything else,
// "-" (standard input) included, is positional.
class CommandLine {
public:
    CommandLine(int argc, char** argv) : argc_(argc), argv_(argv) {}

    // Steps to the next argument; false after the last.
    bool next() {
        if (++index_ >= argc_) return false;
        argument_ = argv_[index_];
        option_ = argument_.size() >= 2 && argument_[0] == '-';
        name_ = argument_;
        inlineValue_.reset();
        if (const auto equals = argument_.find('='); option_ && argument_.rfind("--", 0) == 0 && equals != std::string::npos) {
            name_ = argument_.substr(0, equals);
            inlineValue_ = argument_.substr(equals + 1);
        }
        return true;
    }

    // Steps to the next option, collecting the positional arguments passed on the way; false after
    // the last argument.
    bool nextOption(std::vector<std::string>& positional) {
        while (next()) {
            if (option_) return true;
            positional.push_back(argument_);
        }
        return false;
    }

    bool isOption() const { return option_; }
    bool isHelp() const { return option_ && (name_ == "-h" || name_ == "--help"); }
    const std::string& argument() const { return argument_; }
    const std::string& name() const { return name_; }  // the option without any "=value"
    bool hasInlineValue() const { return inlineValue_.has_value(); }

    // The option's value: what follows '=', or else the next argument.
    std::string value() {
        if (inlineValue_) return *inlineValue_;
        if (index_ + 1 >= argc_) throw UsageError(name_ + " needs a value");
        return argv_[++index_];
    }

private:
    int argc_;
    char** argv_;
    int index_ = 0;
    std::string argument_;
    std::string name_;
    std::optional<std::string> inlineValue_;
    bool option_ = false;
};

// The common shape of a tool's main: `parse` returns the options, or nothing when help was asked for
// (usage on standard output, status 0); a UsageError prints the problem and the usage on standard
// error (status 2); otherwise the tool's status is what `run` returns.
template <typename Parse, typename Run>
int runTool(const char* name, const char* usage, Parse&& parse, Run&& run) {
    decltype(parse()) options;
    try {
        options = parse();
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s\n\n%s", name, error.what(), usage);
        return 2;
    }
    if (!options) {
        std::fputs(usage, stdout);
        return 0;
    }
    return run(*options);
}

}  // namespace sondeco
