// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/feed_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace sondeco {
namespace {

std::optional<long long> wholeNumber(const std::string& text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::string usageEntry(const FeedOptionText& option, std::size_t helpColumn, std::size_t width) {
    std::string text = "      --" + std::string(option.name) + " " + option.valueName;
    if (text.size() + 1 > helpColumn) {
        text += '\n';
        text += std::string(helpColumn, ' ');
    } else {
        text += std::string(helpColumn - text.size(), ' ');
    }
    std::size_t lineStart = text.rfind('\n') + 1;
    const std::string help = option.help;
    for (std::size_t at = 0; at < help.size();) {
        std::size_t end = help.find(' ', at);
        if (end == std::string::npos) end = help.size();
        const std::string word = help.substr(at, end - at);
        if (text.size() - lineStart > helpColumn && text.size() - lineStart + 1 + word.size() > width) {
            text += '\n';
            lineStart = text.size();
            text += std::string(helpColumn, ' ');
        } else if (text.size() - lineStart > helpColumn) {
            text += ' ';
        }
        text += word;
        at = end + 1;
    }
    return text + '\n';
}

std::string helpSentence(const FeedOptionText& option) {
    std::string text = option.help;
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text + '.';
}

std::optional<std::string> readFeedOptions(const FeedOptionValues& values, FeedSettings& settings) {
    std::vector<ListenAddress> addresses;
    for (const std::string& text : values.listen) {
        std::string problem;
        const auto address = parseListenAddress(text, problem);
        if (!address) return "--listen: " + problem;
        addresses.push_back(*address);
    }
    const std::string serial = values.serial.value_or("");
    if (values.serial && serial.empty()) return std::string("--serial needs a device");
    int baud = settings.baud;
    if (values.baud) {
        if (serial.empty()) return std::string("--baud sets the speed of --serial, which is not given");
        const auto& rates = SerialOutput::supportedBaudRates();
        const auto number = wholeNumber(*values.baud);
        if (!number || std::find(rates.begin(), rates.end(), *number) == rates.end())
            return "--baud: " + *values.baud + " is not a standard speed from 1200 to 921600";
        baud = static_cast<int>(*number);
    }
    std::size_t maxClients = settings.maxClients;
    if (values.maxClients) {
        if (addresses.empty()) return std::string("--max-clients sets how many clients --listen serves, which is not given");
        const auto number = wholeNumber(*values.maxClients);
        if (!number || *number < 1 || *number > static_cast<long long>(NetworkOutput::HighestMaxClients))
            return "--max-clients: " + *values.maxClients + " is not a number from 1 to " +
                   std::to_string(NetworkOutput::HighestMaxClients);
        maxClients = static_cast<std::size_t>(*number);
    }
    settings.listen = std::move(addresses);
    settings.serialDevice = serial;
    settings.baud = baud;
    settings.maxClients = maxClients;
    return std::nullopt;
}

}  // namespace sondeco
