// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/command_line.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace sondeco {
namespace {

// 1200, 0.5, 10000000000: as a person writes the number, not as printf's %f does.
std::string plainNumber(double value) {
    std::ostringstream text;
    text.precision(15);
    text << value;
    return text.str();
}

// "25, 50, 100 or 200"
std::string listed(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += i + 1 == items.size() ? " or " : ", ";
        text += items[i];
    }
    return text;
}

std::optional<double> parsedNumber(const std::string& text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// The first word of `text` that looks like an option ("--rate", "-r"), without what sticks to it.
std::string optionNamedIn(const std::string& text) {
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word.size() < 2 || word[0] != '-') continue;
        while (!word.empty() && (word.back() == ':' || word.back() == ',')) word.pop_back();
        return word;
    }
    return {};
}

// What follows the last ": " of CLI11's message: the arguments it did not expect, say.
std::string afterLastColon(const std::string& text) {
    const auto colon = text.rfind(": ");
    return colon == std::string::npos ? text : text.substr(colon + 2);
}

}  // namespace

std::string plainUsageProblem(const CLI::ParseError& error) {
    const std::string text = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        const std::string extra = afterLastColon(text);
        const std::string first = extra.substr(0, extra.find(' '));
        if (first.size() > 1 && first[0] == '-') return "unknown option " + first;
        return "unexpected argument '" + first + "': one input is read at a time";
    }
    const std::string option = optionNamedIn(text);
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        // "stats was given a disallowed flag override": "--stats=yes".
        if (text.find("flag override") != std::string::npos) return "--" + text.substr(0, text.find(' ')) + " takes no value";
        return option.empty() ? text : option + " needs a value";
    }
    if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr && !option.empty()) {
        const auto equals = text.find(" = ");
        if (equals != std::string::npos) return option + ": '" + text.substr(equals + 3) + "' is not a value it takes";
        return option + ": not a value it takes";
    }
    return text;
}

CLI::Validator numberFrom(double lowest, double highest) {
    return CLI::Validator(
        [lowest, highest](std::string& text) -> std::string {
            const auto value = parsedNumber(text);
            if (!value) return "'" + text + "' is not a number";
            if (*value < lowest || *value > highest) return text + " is outside " + plainNumber(lowest) + " to " + plainNumber(highest);
            return {};
        },
        plainNumber(lowest) + ".." + plainNumber(highest));
}

CLI::Validator frequencyFrom(double lowest, double highest) {
    return CLI::Validator(
        [lowest, highest](std::string& text) -> std::string {
            // Hertz, or kilo- or megahertz by their suffix; the option then reads plain hertz.
            std::string unit;
            std::string number = text;
            while (!number.empty() && (std::isalpha(static_cast<unsigned char>(number.back())) || number.back() == ' ')) {
                if (number.back() != ' ')
                    unit.insert(unit.begin(), static_cast<char>(std::tolower(static_cast<unsigned char>(number.back()))));
                number.pop_back();
            }
            const auto value = parsedNumber(number);
            const double factor = unit.empty() || unit == "hz"   ? 1.0
                                  : unit == "k" || unit == "khz" ? 1e3
                                  : unit == "m" || unit == "mhz" ? 1e6
                                                                 : 0.0;
            if (!value || factor == 0.0) return "'" + text + "' is not a frequency (hertz, or with k, kHz, M or MHz)";
            const double hertz = *value * factor;
            if (hertz < lowest || hertz > highest)
                return text + " is outside " + plainNumber(lowest) + " to " + plainNumber(highest) + " Hz";
            text = plainNumber(hertz);
            return {};
        },
        "HZ");
}

CLI::Validator utcTime() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            int year = 0, month = 0, day = 0, hour = 0, minute = 0, consumed = 0;
            double second = 0.0;
            const char* c = text.c_str();
            const bool extended =
                std::sscanf(c, "%4d-%2d-%2d%*1[T ]%2d:%2d:%lf%n", &year, &month, &day, &hour, &minute, &second, &consumed) == 6;
            int whole = 0;
            const bool basic =
                !extended && std::sscanf(c, "%4d%2d%2dT%2d%2d%2d%n", &year, &month, &day, &hour, &minute, &whole, &consumed) == 6;
            if (basic) second = whole;
            std::string_view rest = std::string_view(text).substr(static_cast<std::size_t>(consumed));
            if (rest == "Z" || rest == "z") rest = {};
            if ((!extended && !basic) || !rest.empty() || year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 ||
                hour > 23 || minute > 59 || second < 0.0 || second >= 61.0)
                return "'" + text + "' is not a time in UTC (2024-01-15T20:30:00Z)";
            std::tm utc{};
            utc.tm_year = year - 1900;
            utc.tm_mon = month - 1;
            utc.tm_mday = day;
            utc.tm_hour = hour;
            utc.tm_min = minute;
            text = plainNumber(static_cast<double>(timegm(&utc)) + second);
            return {};
        },
        "UTC");
}

CLI::Validator wholeNumberFrom(long long lowest, long long highest) {
    return CLI::Validator(
        [lowest, highest](std::string& text) -> std::string {
            long long value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
                if (parsedNumber(text)) return text + " is not a whole number";
                return "'" + text + "' is not a number";
            }
            if (value < lowest || value > highest) return text + " is outside " + std::to_string(lowest) + " to " + std::to_string(highest);
            return {};
        },
        std::to_string(lowest) + ".." + std::to_string(highest));
}

CLI::Validator oneOf(const std::vector<int>& allowed) {
    std::vector<std::string> names;
    for (const int value : allowed) names.push_back(std::to_string(value));
    return oneOf(names);
}

CLI::Validator oneOf(const std::vector<std::string>& allowed) {
    return CLI::Validator(
        [allowed](std::string& text) -> std::string {
            for (const std::string& name : allowed)
                if (text == name) return {};
            return "'" + text + "' is not one of " + listed(allowed);
        },
        listed(allowed));
}

}  // namespace sondeco
