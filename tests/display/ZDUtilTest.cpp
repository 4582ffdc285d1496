#include "display/ZDUtil.h"

#include "fakes/FakeSystemInfo.h"

#include <gtest/gtest.h>

TEST(ZDUtil, ComparesVersionsNumericallyPartByPart) {
    EXPECT_GT(ZDUtil::compareVersion("1.0.10", "1.0.9"), 0);
    EXPECT_LT(ZDUtil::compareVersion("1.0.9", "1.0.10"), 0);
    EXPECT_LT(ZDUtil::compareVersion("1.9", "1.10"), 0);
    EXPECT_GT(ZDUtil::compareVersion("2", "1.99.99"), 0);
    EXPECT_EQ(ZDUtil::compareVersion("1.0.9", "1.0.9"), 0);
    // A textual comparison would get these wrong.
    EXPECT_GT(ZDUtil::compareVersion("10.0", "9.0"), 0);
    EXPECT_LT(ZDUtil::compareVersion("1.2.3", "1.12.0"), 0);
}

TEST(ZDUtil, MissingPartsLeadingZerosAndLongNumbers) {
    EXPECT_EQ(ZDUtil::compareVersion("1.0", "1.0.0"), 0);
    EXPECT_EQ(ZDUtil::compareVersion("1", "1.0.0"), 0);
    EXPECT_LT(ZDUtil::compareVersion("1.0", "1.0.1"), 0);
    EXPECT_EQ(ZDUtil::compareVersion("1.01", "1.1"), 0);
    EXPECT_EQ(ZDUtil::compareVersion("", "0"), 0);
    EXPECT_LT(ZDUtil::compareVersion("", "0.0.1"), 0);
    // Parts beyond any integer type still compare by value.
    EXPECT_GT(ZDUtil::compareVersion("1.123456789012345678901234567890", "1.99999999999999999999"), 0);
    EXPECT_EQ(ZDUtil::compareVersion("1.000000000000000000000000000007", "1.7"), 0);
}

TEST(ZDUtil, TextAfterTheDigitsOnlyBreaksTies) {
    EXPECT_GT(ZDUtil::compareVersion("1.0.10b", "1.0.9"), 0);
    EXPECT_LT(ZDUtil::compareVersion("1.0.9", "1.0.9b"), 0);
    EXPECT_LT(ZDUtil::compareVersion("beta", "1"), 0);
}

TEST(ZDUtil, SystemVersionComesFromSystemInfo) {
    FakeSystemInfo info;
    info.osVersion = "22.04";
    EXPECT_EQ(ZDUtil::getMacOSVersionString(info), "22.04");
}
