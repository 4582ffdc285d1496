#include "display/ZDUtil.h"

#include "fakes/FakeSystemInfo.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <tuple>

// A textual comparison gets "10.0" and "1.2.3" wrong; parts beyond any integer type still compare by
// value; text after the digits only breaks ties.
TEST(ZDUtil, ComparesVersionsNumericallyPartByPart) {
    const struct {
        const char *a, *b;
        int sign;
    } cases[] = {
        {"1.0.10", "1.0.9", 1},  {"1.9", "1.10", -1},     {"2", "1.99.99", 1}, {"1.0.9", "1.0.9", 0},
        {"10.0", "9.0", 1},      {"1.2.3", "1.12.0", -1}, {"1.0", "1.0.0", 0}, {"1", "1.0.0", 0},
        {"1.0", "1.0.1", -1},    {"1.01", "1.1", 0},      {"", "0", 0},        {"", "0.0.1", -1},
        {"1.0.10b", "1.0.9", 1}, {"1.0.9", "1.0.9b", -1}, {"beta", "1", -1},
    };
    const auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (const auto& c : cases) {
        EXPECT_EQ(sign(ZDUtil::compareVersion(c.a, c.b)), c.sign) << c.a << " vs " << c.b;
        EXPECT_EQ(sign(ZDUtil::compareVersion(c.b, c.a)), -c.sign) << c.b << " vs " << c.a;
    }
    EXPECT_GT(ZDUtil::compareVersion("1.123456789012345678901234567890", "1.99999999999999999999"), 0);
    EXPECT_EQ(ZDUtil::compareVersion("1.000000000000000000000000000007", "1.7"), 0);
}

TEST(ZDUtil, ParsesMajorMinorAndPatchAndGatesOnTheRunningSystem) {
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
    info.osVersion = "10.10";
    EXPECT_TRUE(ZDUtil::isMacOSVersionAboveOrEqualTo("10.10", info));
    EXPECT_TRUE(ZDUtil::isMacOSVersionAboveOrEqualTo("10.9", info));
    EXPECT_FALSE(ZDUtil::isMacOSVersionAboveOrEqualTo("10.10.1", info));
    EXPECT_FALSE(ZDUtil::isMacOSVersionAboveTo("10.10", info));
    EXPECT_TRUE(ZDUtil::isMacOSVersionAboveTo("10.9.5", info));
}

// Only a 64-bit Intel system runs translated code.
TEST(ZDUtil, ArmOrTranslatedMachines) {
    const struct {
        const char* architecture;
        bool translated, arm;
    } cases[] = {
        {"x86_64", false, false}, {"x86_64", true, true},   {"i686", true, false},
        {"arm64", false, true},   {"aarch64", false, true},
    };
    for (const auto& c : cases) {
        FakeSystemInfo info;
        info.architecture = c.architecture;
        info.translated = c.translated;
        EXPECT_EQ(ZDUtil::isM1Mac(info), c.arm) << c.architecture << c.translated;
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
