#include <gtest/gtest.h>

#include <string>

#include "client/core/Printable.h"

using com_nax::printable;

TEST(Printable, ControlCharactersBecomeLowerCaseHexEscapes) {
    EXPECT_EQ("v1\\x0aMR>ERROR>forged\\x0d", printable("v1\nMR>ERROR>forged\r"));
    EXPECT_EQ("\\x00\\x1b[2J\\x1f\\x7f", printable(std::string("\0\x1b[2J\x1f\x7f", 7)));
    EXPECT_EQ("tab\\x09end", printable("tab\tend"));
}

TEST(Printable, OtherBytesAreKept) {
    EXPECT_EQ("", printable(""));
    EXPECT_EQ(" ~HW_PATSPEED 1.0 \\", printable(" ~HW_PATSPEED 1.0 \\"));
    // Bytes above 0x7f (UTF-8 text) pass unchanged.
    EXPECT_EQ("\xc3\xa9\x80\xff", printable("\xc3\xa9\x80\xff"));
}
