#include "display/ZDUtil.h"

#include "fakes/FakeSystemInfo.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <tuple>

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

TEST(ZDUtil, ParsesMajorMinorAndPatch) {
    int32_t major = -1, minor = -1, patch = -1;
    const auto parse = [&](const char* text) {
        ZDUtil::parseVersionString(QString::fromLatin1(text), &major, &minor, &patch);
        return std::tuple(major, minor, patch);
    };
    EXPECT_EQ(parse("10.15.7"), std::tuple(10, 15, 7));
    EXPECT_EQ(parse("10.15"), std::tuple(10, 15, 0));
    EXPECT_EQ(parse("14"), std::tuple(14, 0, 0));
    EXPECT_EQ(parse(""), std::tuple(0, 0, 0));
    EXPECT_EQ(parse("3.4.5.6"), std::tuple(3, 4, 5));
    EXPECT_EQ(parse("1.0b2.3rc"), std::tuple(1, 0, 3));
    EXPECT_EQ(parse("..9"), std::tuple(0, 0, 9));
    EXPECT_EQ(parse("x.y"), std::tuple(0, 0, 0));
    EXPECT_EQ(parse("99999999999.1"), std::tuple(2147483647, 1, 0));

    FakeSystemInfo info;
    info.osVersion = "22.04.3";
    ZDUtil::getMacOSVersionCode(info, &major, &minor, &patch);
    EXPECT_EQ(std::tuple(major, minor, patch), std::tuple(22, 4, 3));
}

TEST(ZDUtil, VersionGatesCompareWithTheRunningSystem) {
    FakeSystemInfo info;
    info.osVersion = "10.10";
    EXPECT_TRUE(ZDUtil::isMacOSVersionAboveOrEqualTo("10.10", info));
    EXPECT_TRUE(ZDUtil::isMacOSVersionAboveOrEqualTo("10.9", info));
    EXPECT_FALSE(ZDUtil::isMacOSVersionAboveOrEqualTo("10.10.1", info));
    EXPECT_FALSE(ZDUtil::isMacOSVersionAboveTo("10.10", info));
    EXPECT_TRUE(ZDUtil::isMacOSVersionAboveTo("10.9.5", info));
}

TEST(ZDUtil, ArmOrTranslatedMachines) {
    FakeSystemInfo info;
    info.architecture = "x86_64";
    EXPECT_FALSE(ZDUtil::isM1Mac(info));
    info.translated = true;
    EXPECT_TRUE(ZDUtil::isM1Mac(info));
    EXPECT_TRUE(ZDUtil::isProcessTranslated(info));
    info.architecture = "i686"; // only a 64-bit Intel system runs translated code
    EXPECT_FALSE(ZDUtil::isM1Mac(info));
    info.translated = false;
    for (const char* arm : {"arm64", "aarch64"}) {
        info.architecture = arm;
        EXPECT_TRUE(ZDUtil::isM1Mac(info)) << arm;
    }
}

TEST(ZDUtil, RunsShellCommandsAndReturnsTheirOutput) {
    EXPECT_EQ(ZDUtil::runCommand("printf 'a b\\n'; echo error >&2; printf '\\303\\251'"),
              QString::fromUtf8("a b\n\xc3\xa9"));
    EXPECT_EQ(ZDUtil::runCommand("exit 3"), QString());
    // Input is empty: a command that reads it ends instead of waiting for us.
    EXPECT_EQ(ZDUtil::runCommand("cat; echo done"), "done\n");
    // Output larger than a pipe holds is read while the command runs.
    EXPECT_EQ(ZDUtil::runCommand("head -c 300000 /dev/zero | tr '\\0' x").size(), 300000);
    // A command left running in the background does not hold the caller.
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(ZDUtil::runCommand("sleep 5 >/dev/null 2>&1 & echo started"), "started\n");
    EXPECT_LT(timer.elapsed(), 4000);
}
