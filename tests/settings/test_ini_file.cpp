// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ini_file.h"

#include <gtest/gtest.h>

namespace sondeco {
namespace {

TEST(IniFile, AddedLinesFollowTheFileAndItsSections) {
    IniFile crlf;
    crlf.parse("[A]\r\nx=1\r\n\r\n[B]\r\ny=2");
    crlf.writeString("a", "z", "3");
    crlf.writeString("b", "Y", " two ");
    crlf.writeString("C", "k", "v");
    EXPECT_EQ(crlf.text(), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=\" two \"\r\n\r\n[C]\r\nk=v\r\n");
    EXPECT_EQ(crlf.readString("B", "y", ""), " two ");

    IniFile lf;
    lf.parse("; only a comment\n");
    lf.writeString("S", "k", "v");
    EXPECT_EQ(lf.text(), "; only a comment\n\n[S]\nk=v\n");

    IniFile empty;
    empty.writeString("S", "k", "v");
    EXPECT_EQ(empty.text(), "[S]\r\nk=v\r\n");
}

TEST(IniFile, ValuesAreTrimmedAndLoseOnePairOfQuotes) {
    IniFile file;
    file.parse("[s]\na = \"x y\" \nb='q'\nc=\"open\nd=\"\"\ne=\"\"x\"\"\nf=a=b\n;g=1\n[t\ng=2\n");
    EXPECT_EQ(file.readString("s", "a", "-"), "x y");
    EXPECT_EQ(file.readString("s", "b", "-"), "q");
    EXPECT_EQ(file.readString("s", "c", "-"), "\"open");
    EXPECT_EQ(file.readString("s", "d", "-"), "");
    EXPECT_EQ(file.readString("s", "e", "-"), "\"x\"");
    EXPECT_EQ(file.readString("s", "f", "-"), "a=b");
    EXPECT_EQ(file.readString("s", ";g", "-"), "-");  // a comment is not a key
    EXPECT_EQ(file.readString("s", "g", "-"), "2");  // "[t" has no ']': not a section
}

TEST(IniFile, WrittenValuesReadBackUnchanged) {
    for (const std::string value : {"", " lead", "trail\t", "\"quoted\"", "'single'", "\"", "a\"b\"", "x=y;z"}) {
        IniFile file;
        file.writeString("s", "k", value);
        IniFile reread;
        reread.parse(file.text());
        EXPECT_EQ(reread.readString("s", "k", "-"), value) << file.text();
    }
}

}  // namespace
}  // namespace sondeco
