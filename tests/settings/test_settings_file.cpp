// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ini_file.h"
#include "app/settings_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sondeco {
namespace {

namespace fs = std::filesystem;

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "sondeco-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        path_ = (folder_ / "sondeco.ini").string();
    }
    void TearDown() override {
        fs::permissions(folder_, fs::perms::owner_all);
        fs::remove_all(folder_);
    }

    void write(const std::string& bytes) const { std::ofstream(path_, std::ios::binary) << bytes; }
    std::string contents() const {
        std::ostringstream text;
        text << std::ifstream(path_, std::ios::binary).rdbuf();
        return text.str();
    }
    std::vector<fs::path> folderContents() const { return {fs::directory_iterator(folder_), fs::directory_iterator()}; }

    // The fields as the main window has them when it reads: nothing left at a default by chance.
    SettingsFields loaded(const std::string& bytes) const {
        write(bytes);
        SettingsFields fields{7, "", false, 61, 9, 11, 12, 13, 14, true};
        loadSettings(fields, path_);
        return fields;
    }

    fs::path folder_;
    std::string path_;
};

TEST_F(SettingsFileTest, NoFileGivesTheDefaults) {
    SettingsFields fields{7, "", false, 61, 9, 11, 12, 13, 14, true};
    loadSettings(fields, path_);
    EXPECT_EQ(fields.MainTop, 0);
    EXPECT_EQ(fields.MainLeft, 0);
    EXPECT_EQ(fields.MainWidth, 660);
    EXPECT_EQ(fields.MainHeight, 400);
    EXPECT_FALSE(fields.MainMaxmum);
    EXPECT_EQ(fields.TabIndex, 4);
    EXPECT_EQ(fields.WaveInName, "Default input device");
    EXPECT_TRUE(fields.DecBitRate);
    EXPECT_EQ(fields.DecFreqPos, 80);
    EXPECT_EQ(fields.WaveInIndex, 7);  // not stored: left to the device list
}

TEST_F(SettingsFileTest, FrequencyIsClampedAndAStrayPageGoesToTheFirst) {
    for (const auto& [value, expected] : {std::pair{"30", 50}, {"49", 50}, {"50", 50}, {"100", 100}, {"150", 100}})
        EXPECT_EQ(loaded(std::string("[Wave]\nDecFreqPos=") + value).DecFreqPos, expected) << value;
    for (const auto& [value, expected] : {std::pair{"-3", 0}, {"0", 0}, {"10", 10}, {"11", 0}})
        EXPECT_EQ(loaded(std::string("[Form]\nTabIndex=") + value).TabIndex, expected) << value;
}

TEST_F(SettingsFileTest, OnlyWholeNumbersAreRead) {
    for (const auto& [value, expected] : {std::pair{"abc", 660},
                                          {"0x200", 512},
                                          {"0X1f", 31},
                                          {"12abc", 660},
                                          {"", 660},
                                          {"0x", 660},
                                          {"0xg", 660},
                                          {"+700", 700},
                                          {"-20", -20},
                                          {" 700 ", 700},
                                          {"\"700\"", 700},
                                          {"1 2", 660},
                                          {"99999999999", 660},
                                          {"0xFFFFFFFF", -1},
                                          {"0x100000000", 660},
                                          {"-0x10", 660},
                                          {"+-5", 660}})
        EXPECT_EQ(loaded(std::string("[Form]\nMainWidth=") + value).MainWidth, expected) << value;
    EXPECT_FALSE(loaded("[Form]\nMainMaxmum=true").MainMaxmum);
    EXPECT_TRUE(loaded("[Form]\nMainMaxmum=2").MainMaxmum);
    EXPECT_FALSE(loaded("[Wave]\nDecBitRate=0").DecBitRate);
    EXPECT_TRUE(loaded("[Wave]\nDecBitRate=yes").DecBitRate);
}

TEST_F(SettingsFileTest, NamesMatchWithoutCaseAndOnlyInTheirOwnSection) {
    const auto fields = loaded(
        "TabIndex=3\n[Other]\nMainHeight=1\n[ form ]\nmainwidth=700\nMAINTOP=1\nMainTop=2\n"
        "[WAVE]\nDecFreqPos=60\n[Form]\nMainLeft=9\n");
    EXPECT_EQ(fields.TabIndex, 4);  // before any section
    EXPECT_EQ(fields.MainHeight, 400);  // in someone else's section
    EXPECT_EQ(fields.MainWidth, 700);
    EXPECT_EQ(fields.MainTop, 1);  // the first of two wins
    EXPECT_EQ(fields.MainLeft, 0);  // only the first [Form] counts
    EXPECT_EQ(fields.DecFreqPos, 60);
}

TEST_F(SettingsFileTest, ANewFileHoldsAllKeysInOrderAndReadsBack) {
    const SettingsFields fields{0, "USB Audio CODEC: - (hw:1,0)", false, 95, 4, 0, 0, 660, 400, false};
    std::string error;
    ASSERT_TRUE(saveSettings(fields, {-8, 30, 800, 600, false, 6}, path_, error)) << error;
    EXPECT_EQ(contents(),
              "[Form]\r\nMainTop=-8\r\nMainLeft=30\r\nMainWidth=800\r\nMainHeight=600\r\nMainMaxmum=0\r\nTabIndex=6\r\n"
              "\r\n[Wave]\r\nWaveInName=USB Audio CODEC: - (hw:1,0)\r\nDecBitRate=0\r\nDecFreqPos=95\r\n");
    const auto reread = loaded(contents());
    EXPECT_EQ(reread.MainTop, -8);
    EXPECT_EQ(reread.WaveInName, fields.WaveInName);
    EXPECT_FALSE(reread.DecBitRate);
}

TEST_F(SettingsFileTest, AMaximisedCloseKeepsTheStartUpPlacement) {
    auto fields = loaded("[Form]\nMainTop=10\nMainLeft=20\nMainWidth=700\nMainHeight=500\n");
    std::string error;
    ASSERT_TRUE(saveSettings(fields, {0, 0, 1920, 1080, true, 2}, path_, error)) << error;
    fields = loaded(contents());
    EXPECT_EQ(fields.MainTop, 10);
    EXPECT_EQ(fields.MainLeft, 20);
    EXPECT_EQ(fields.MainWidth, 700);
    EXPECT_EQ(fields.MainHeight, 500);
    EXPECT_TRUE(fields.MainMaxmum);
    EXPECT_EQ(fields.TabIndex, 2);
}

TEST_F(SettingsFileTest, EverythingElseInTheFileSurvivesASave) {
    write(
        "\xEF\xBB\xBF; Sondeco settings\nStray=before any section\n[Other]\nMainTop=77\n[ form ]\n"
        "  mainTOP = 12\nthis line is junk\n\x01\x02\n\nMainWidth=abc\n\n[Extra]\nKey=\"kept\"\n[Wave]\nDecFreqPos=60");
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
    const SettingsFields fields{0, "USB", false, 90, 0, 0, 0, 0, 0, false};
    std::string error;
    ASSERT_TRUE(saveSettings(fields, {1, 2, 700, 500, false, 3}, path_, error)) << error;
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(contents(),
              "\xEF\xBB\xBF; Sondeco settings\nStray=before any section\n[Other]\nMainTop=77\n[ form ]\n"
              "  mainTOP = 1\nthis line is junk\n\x01\x02\n\nMainWidth=700\nMainLeft=2\nMainHeight=500\n"
              "MainMaxmum=0\nTabIndex=3\n\n[Extra]\nKey=\"kept\"\n[Wave]\nDecFreqPos=90\nWaveInName=USB\n"
              "DecBitRate=0\n");
}

TEST_F(SettingsFileTest, ALinkedFileIsWrittenThroughTheLink) {
    const auto real = folder_ / "kept-elsewhere.ini";
    std::ofstream(real) << "[Form]\nMainTop=5\n";
    fs::create_symlink(real, path_);
    std::string error;
    ASSERT_TRUE(saveSettings(SettingsFields{}, {7, 0, 660, 400, false, 4}, path_, error)) << error;
    EXPECT_TRUE(fs::is_symlink(path_));
    SettingsFields reread;
    loadSettings(reread, real.string());
    EXPECT_EQ(reread.MainTop, 7);
}

TEST_F(SettingsFileTest, AnUnwritableFolderIsReportedAndTheOldFileKept) {
    std::string target = path_;
    if (::geteuid() == 0) {
        // Permissions do not stop root: a folder that is really a plain file does.
        std::ofstream(folder_ / "plain") << "x";
        target = (folder_ / "plain" / "sondeco.ini").string();
    } else {
        write("[Form]\nMainTop=5\n");
        fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    }
    std::string error;
    EXPECT_FALSE(saveSettings(SettingsFields{}, {}, target, error));
    EXPECT_EQ(error.rfind("Can not write the settings file " + target + ": ", 0), 0u) << error;
    EXPECT_GT(error.size(), ("Can not write the settings file " + target + ": ").size());
    if (::geteuid() != 0) {
        EXPECT_EQ(contents(), "[Form]\nMainTop=5\n");
    }
    EXPECT_EQ(folderContents().size(), 1u);
}

TEST_F(SettingsFileTest, AFullDiskLeavesTheOldFileWhole) {
    const std::string old = "[Form]\r\nMainTop=5\r\n; " + std::string(100, '-') + "\r\n";
    write(old);
    // The file size limit fails our writes just as a full disk would, for root too.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = limit;
    small.rlim_cur = 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    const bool saved = saveSettings(SettingsFields{}, {}, path_, error);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(error, "Can not write the settings file " + path_ + ": File too large");
    EXPECT_EQ(contents(), old);
    EXPECT_EQ(folderContents().size(), 1u);
}

TEST_F(SettingsFileTest, LongDeviceNamesAreCut) {
    EXPECT_EQ(loaded("[Wave]\nWaveInName=" + std::string(5000, 'n')).WaveInName, std::string(2047, 'n'));
    // A two-byte character across the limit goes whole.
    EXPECT_EQ(loaded("[Wave]\nWaveInName=" + std::string(2046, 'n') + "\xC3\xA9xyz").WaveInName, std::string(2046, 'n'));
}

TEST_F(SettingsFileTest, JunkFilesReadSafelyAndAreStillSaved) {
    std::mt19937 random(1234);
    const std::string alphabet = std::string("[]=;\"\r\n \x00\xEF\xBB\xBF", 12) + "FormWave0x1";
    for (int round = 0; round < 300; ++round) {
        std::string junk(random() % 3000, '\0');
        for (char& c : junk) c = random() % 4 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
        const auto fields = loaded(junk);
        EXPECT_TRUE(fields.DecFreqPos >= 50 && fields.DecFreqPos <= 100);
        EXPECT_TRUE(fields.TabIndex >= 0 && fields.TabIndex <= 10);
        if (round % 10 == 0) {
            std::string error;
            ASSERT_TRUE(saveSettings(fields, {1, 2, 3, 4, false, 5}, path_, error)) << error;
            EXPECT_EQ(loaded(contents()).MainHeight, 4);
        }
    }
}

TEST_F(SettingsFileTest, ALargeFileIsReadWholeAndKeepsItsEndWhenSaved) {
    // 2 MB of someone else's lines before the last two sections, LF line ends and no final one.
    std::string large = "[Form]\nMainWidth=700\n[Notes]\n";
    for (int line = 0; large.size() < 2'000'000; ++line) large += "Line" + std::to_string(line) + "=" + std::string(60, 'x') + "\n";
    large += "[Wave]\nDecFreqPos=60\n[Last]\nKeep=me";
    SettingsFields fields = loaded(large);
    EXPECT_EQ(fields.DecFreqPos, 60);  // read from the end of the file

    std::string error;
    ASSERT_TRUE(saveSettings(fields, {1, 2, 800, 500, false, 3}, path_, error)) << error;
    const std::string saved = contents();
    const std::string notes = large.substr(large.find("[Notes]"), large.find("[Wave]") - large.find("[Notes]"));
    EXPECT_NE(saved.find(notes), std::string::npos) << "the lines in between were not kept";
    EXPECT_TRUE(saved.ends_with("\n[Wave]\nDecFreqPos=60\nWaveInName=Default input device\nDecBitRate=1\n[Last]\nKeep=me"))
        << saved.substr(saved.size() - 200);
    EXPECT_EQ(loaded(saved).MainWidth, 800);
}

TEST_F(SettingsFileTest, PastTheSizeLimitOnlyTheStartIsReadAndTheFileIsNotRewritten) {
    // Past the size limit nothing is read, not even the start of a line that runs across it; and
    // since saving would cut the file there, it is refused and the file stays as it was.
    std::string huge = "[Form]\nMainWidth=700\n";
    huge += std::string(IniFile::MaxFileBytes - huge.size() - 13, ';') + "\nMainHeight=1234567\n";
    huge += "[Wave]\nDecFreqPos=60\n";
    const auto fields = loaded(huge);
    EXPECT_EQ(fields.MainWidth, 700);
    EXPECT_EQ(fields.MainHeight, 400);
    EXPECT_EQ(fields.DecFreqPos, 80);

    std::string error;
    EXPECT_FALSE(saveSettings(fields, {1, 2, 800, 500, false, 3}, path_, error));
    EXPECT_EQ(error, "Can not write the settings file " + path_ + ": it is larger than 16 MiB, so only its start was read");
    EXPECT_EQ(fs::file_size(path_), huge.size());
    EXPECT_TRUE(contents() == huge);
    IniFile file;
    file.parse(huge);
    EXPECT_FALSE(file.complete());
    EXPECT_FALSE(file.save(path_, error));
    EXPECT_TRUE(contents() == huge);
}

TEST_F(SettingsFileTest, AFolderInPlaceOfTheFileGivesDefaultsAndIsNotReplaced) {
    fs::create_directories(fs::path(path_) / "inside");
    SettingsFields fields{7, "", false, 61, 9, 11, 12, 13, 14, true};
    loadSettings(fields, path_);
    EXPECT_EQ(fields.MainWidth, 660);
    std::string error;
    EXPECT_FALSE(saveSettings(fields, {}, path_, error));
    EXPECT_EQ(error, "Can not write the settings file " + path_ + ": Is a directory");
    EXPECT_TRUE(fs::is_directory(fs::path(path_) / "inside"));
}

TEST(SettingsFileName, OnlyTheFileNamesExtensionIsReplaced) {
    EXPECT_EQ(settingsFileName("/opt/sondeco/sondeco"), "/opt/sondeco/sondeco.ini");
    EXPECT_EQ(settingsFileName("/opt/sondeco-1.0.d/sondeco"), "/opt/sondeco-1.0.d/sondeco.ini");
    EXPECT_EQ(settingsFileName("/home/me/bin/Sondeco.exe"), "/home/me/bin/Sondeco.ini");
    EXPECT_EQ(settingsFileName("sondeco.bin.old"), "sondeco.bin.ini");
}

}  // namespace
}  // namespace sondeco
