#include "platform/x11/Edid.h"

#include "EdidBlock.h"

#include <gtest/gtest.h>

namespace {

TEST(Edid, ReadsMakerProductSerialAndName) {
    OptError error;
    const auto info = parseEdid(edidBlock("DELL U2720Q", 0xa0e5, 0x4c4a3042), &error);
    ASSERT_TRUE(info) << error->toString().toStdString();
    EXPECT_EQ(info->manufacturer, QStringLiteral("DEL"));
    EXPECT_EQ(info->productCode, 0xa0e5);
    EXPECT_EQ(info->serialNumber, 0x4c4a3042u);
    EXPECT_EQ(info->productName, QStringLiteral("DELL U2720Q"));
    // A name of the full 13 characters has no line feed.
    EXPECT_EQ(parseEdid(edidBlock("ABCDEFGHIJKLM", 1, 2))->productName, QStringLiteral("ABCDEFGHIJKLM"));
    // Extension blocks after the base block change nothing.
    EXPECT_EQ(parseEdid(edidBlock("X", 1, 2) + QByteArray(128, '\x7')), parseEdid(edidBlock("X", 1, 2)));
}

TEST(Edid, MonitorWithoutNameHasAnEmptyOne) {
    const auto info = parseEdid(edidBlock(nullptr, 0x1234, 0));
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->productName.isEmpty());
    EXPECT_EQ(info->productCode, 0x1234);
}

TEST(Edid, BrokenBlocksAreErrors) {
    OptError error;
    EXPECT_FALSE(parseEdid(QByteArray(), &error));
    EXPECT_EQ(error->domain, kEdidErrorDomain);
    EXPECT_EQ(error->code, 1);
    EXPECT_FALSE(parseEdid(edidBlock("X", 1, 2).left(127), &error));
    EXPECT_EQ(error->code, 1);

    QByteArray header = edidBlock("X", 1, 2);
    header[0] = 1;
    header[127] = char(uchar(header[127]) - 1);
    EXPECT_FALSE(parseEdid(header, &error));
    EXPECT_EQ(error->code, 2);

    QByteArray checksum = edidBlock("X", 1, 2);
    checksum[20] = char(checksum[20] + 1);
    EXPECT_FALSE(parseEdid(checksum, &error));
    EXPECT_EQ(error->code, 3);
}

} // namespace
