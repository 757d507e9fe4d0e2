#include "emulators/relay_unit/UnitLineParser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace relayunit;
using ::testing::ElementsAre;

TEST(UnitLineParser, SplitsADatagramIntoLines) {
    int malformed = -1;
    const auto lines = parseDatagram("[HR]72@[RR]@[ABP]1,2,3@", &malformed);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("HR", lines[0].name);
    EXPECT_EQ("72", lines[0].value);
    EXPECT_EQ("RR", lines[1].name);
    EXPECT_EQ("", lines[1].value);
    EXPECT_EQ("1,2,3", lines[2].value);
    EXPECT_EQ(0, malformed);
}

TEST(UnitLineParser, CountsWhatIsNotALine) {
    int malformed = 0;
    const auto lines = parseDatagram("junk@[]x@[HR]72@[HR", &malformed);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("72", lines[0].value);
    EXPECT_EQ(3, malformed);  // no "[", an empty name, a missing "@"
    EXPECT_TRUE(parseDatagram("").empty());
}

TEST(UnitLineParser, Numbers) {
    int i = 0;
    EXPECT_TRUE(parseInt("-12", i));
    EXPECT_EQ(-12, i);
    EXPECT_FALSE(parseInt("12a", i));
    EXPECT_FALSE(parseInt("", i));
    EXPECT_FALSE(parseInt("99999999999", i));
    std::vector<float> v;
    EXPECT_TRUE(parseFloatList("0.050,1,-3", v));
    EXPECT_THAT(v, ElementsAre(0.05f, 1.0f, -3.0f));
    EXPECT_FALSE(parseFloatList("1,,2", v));
    EXPECT_FALSE(parseFloatList("1,2,", v));
}
