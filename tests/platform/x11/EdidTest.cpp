#include "platform/x11/Edid.h"

#include "EdidBlock.h"

#include <gtest/gtest.h>

namespace {

TEST(Edid, ReadsMakerProductSerialAndNameAndRefusesBrokenBlocks) {
    OptError error;
    EXPECT_EQ(parseEdid(edidBlock("DELL U2720Q", 0xa0e5, 0x4c4a3042), &error),
              (EdidInfo{QStringLiteral("DEL"), 0xa0e5, 0x4c4a3042u, QStringLiteral("DELL U2720Q")}));
    EXPECT_FALSE(error);
    // A name of the full 13 characters has no line feed; a monitor may name no product at all.
    EXPECT_EQ(parseEdid(edidBlock("ABCDEFGHIJKLM", 1, 2))->productName, QStringLiteral("ABCDEFGHIJKLM"));
    EXPECT_EQ(parseEdid(edidBlock(nullptr, 0x1234, 0)), (EdidInfo{QStringLiteral("DEL"), 0x1234, 0, {}}));
    // Extension blocks after the base block change nothing.
    EXPECT_EQ(parseEdid(edidBlock("X", 1, 2) + QByteArray(128, '\x7')), parseEdid(edidBlock("X", 1, 2)));

    QByteArray header = edidBlock("X", 1, 2), checksum = header;
    header[0] = 1;
    header[127] = char(uchar(header[127]) - 1);
    checksum[20] = char(checksum[20] + 1);
    for (const auto& [bytes, code] :
         {std::pair{QByteArray(), 1}, {edidBlock("X", 1, 2).left(127), 1}, {header, 2}, {checksum, 3}}) {
        EXPECT_FALSE(parseEdid(bytes, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain, kEdidErrorDomain);
        EXPECT_EQ(error->code, code);
    }
}

} // namespace
