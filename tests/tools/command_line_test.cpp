// SPDX-License-Identifier: GPL-3.0-or-later
// The command lines' declarations against what their usage texts say, and the feed options' words
// shared by every program: the same checks and messages whichever parser read them.

#include "tools/command_line.h"
#include "output/feed_options.h"
#include "tools/decode_options.h"
#include "tools/gen_options.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace sondeco {
namespace {

// The long names of the options a usage text lists: each entry starts a line with "  -x, --name",
// "      --name" or (sondeco-gen's layout) "  --name".
std::set<std::string> optionsInUsage(const std::string& usage) {
    std::set<std::string> names;
    std::istringstream lines(usage);
    for (std::string line; std::getline(lines, line);) {
        std::size_t at = 0;
        if (line.rfind("  -", 0) == 0 && line.size() > 6 && line[3] != '-' && line.compare(4, 2, ", ") == 0)
            at = 6;
        else if (line.rfind("      --", 0) == 0)
            at = 6;
        else if (line.rfind("  --", 0) == 0)
            at = 2;
        else
            continue;
        const std::size_t end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-", at + 2);
        names.insert(line.substr(at, end - at));
    }
    return names;
}

std::set<std::string> optionsDeclared(const CLI::App& app) {
    std::set<std::string> names;
    for (const CLI::Option* option : app.get_options())
        for (const std::string& name : option->get_lnames()) names.insert("--" + name);
    return names;
}

TEST(CommandLines, EveryOptionDeclaredIsInTheUsageAndNoOther) {
    {
        CommandLine commandLine("sondeco-decode");
        DecodeOptions options;
        declareDecodeOptions(commandLine.app(), options);
        EXPECT_EQ(optionsInUsage(decodeUsage()), optionsDeclared(commandLine.app()));
    }
    {
        CommandLine commandLine("sondeco-gen");
        GenOptions options;
        declareGenOptions(commandLine.app(), options);
        EXPECT_EQ(optionsInUsage(GenUsage), optionsDeclared(commandLine.app()));
    }
}

TEST(FeedOptions, ValuesAreCheckedTogetherInOneSetOfWords) {
    struct Case {
        FeedOptionValues values;
        std::string problem;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {{{"2101", "0.0.0.0:2102/json@12"}, "/dev/ttyUSB0", "4800", "10"}, ""},
        {{{}, std::nullopt, "9600", std::nullopt}, "--baud sets the speed of --serial, which is not given"},
        {{{}, "/dev/ttyS0", "4801", std::nullopt}, "--baud: 4801 is not a standard speed from 1200 to 921600"},
        {{{}, "/dev/ttyS0", "fast", std::nullopt}, "--baud: fast is not a standard speed from 1200 to 921600"},
        {{{}, std::nullopt, std::nullopt, "5"}, "--max-clients sets how many clients --listen serves, which is not given"},
        {{{"2101"}, std::nullopt, std::nullopt, "901"}, "--max-clients: 901 is not a number from 1 to 900"},
        {{{"2101"}, std::nullopt, std::nullopt, "0"}, "--max-clients: 0 is not a number from 1 to 900"},
        {{{"2101/xml"}, std::nullopt, std::nullopt, std::nullopt}, "--listen: unknown format \"xml\""},
        {{{}, "", std::nullopt, std::nullopt}, "--serial needs a device"},
    };
    for (const Case& c : cases) {
        FeedSettings settings;
        const auto problem = readFeedOptions(c.values, settings);
        if (c.problem.empty()) {
            ASSERT_FALSE(problem) << *problem;
            EXPECT_EQ(settings.listen.size(), 2u);
            EXPECT_EQ(settings.listen[1].stationId, 12);
            EXPECT_EQ(settings.serialDevice, "/dev/ttyUSB0");
            EXPECT_EQ(settings.baud, 4800);
            EXPECT_EQ(settings.maxClients, 10u);
        } else {
            ASSERT_TRUE(problem) << c.problem;
            EXPECT_EQ(problem->rfind(c.problem, 0), 0u) << *problem;
        }
    }
    // The terminal layout: the value name and help on one line where they fit, wrapped at 96 columns
    // from column 25 where they do not.
    EXPECT_EQ(usageEntry(SerialOption), "      --serial DEVICE    also write the frames as RTCM bytes to a serial port, raw 8N1\n");
    const std::string listen = usageEntry(ListenOption);
    EXPECT_EQ(listen.rfind("      --listen [HOST:]PORT[/FORMAT][@ID]\n                         also serve", 0), 0u) << listen;
    std::istringstream lines(listen);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 96u) << line;
    EXPECT_EQ(helpSentence(BaudOption), "The serial port's speed, 1200..921600 (default 9600).");
}

}  // namespace
}  // namespace sondeco
