#include "link/PTProtocol.h"
#include "link/PTAddress.h"
#include "link/PTData.h"

#include "base/MainQueue.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

// Tags start at 1 and are shared by every channel of the queue; the header is four big-endian words and
// the payload is referenced, not copied.
TEST(PTProtocol, TagsAndHeaderLayout) {
    PTProtocol protocol;
    EXPECT_EQ(protocol.newTag(), 1u);
    EXPECT_EQ(protocol.newTag(), 2u);
    EXPECT_EQ(PTProtocol::sharedProtocolForQueue(mainQueue()).get(),
              PTProtocol::sharedProtocolForQueue(mainQueue()).get());
    const QByteArray payload("abc");
    const auto frame = PTProtocol::createDispatchDataWithFrameOfType(0x01020304, 5, payload);
    EXPECT_EQ(frame.header.toHex(), "00000001010203040000000500000003");
    EXPECT_EQ(frame.payload.constData(), payload.constData());
    EXPECT_EQ(PTProtocol::createDispatchDataWithFrameOfType(7, 0, {}).header.toHex(),
              "00000001000000070000000000000000");
}

TEST(PTAddress, TextFormsOfAddresses) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(443);
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* four = reinterpret_cast<const sockaddr*>(&in);
    const struct {
        PTAddress address;
        const char* description;
        quint16 port;
    } cases[] = {
        {PTAddress::ipv4(0xffffffff, 80), "255.255.255.255:80", 80},
        {PTAddress(), "(?)", 0},
        {PTAddress(four, sizeof in), "127.0.0.1:443", 443},
        // A length shorter than the family's address must not be read past.
        {PTAddress(four, 4), "(null):0", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.address.description(), QString::fromLatin1(c.description));
        EXPECT_EQ(c.address.port(), c.port) << c.description;
    }
}

// Received payloads are shared, never copied, and binary: a zero byte ends nothing.
TEST(PTData, PayloadBytesAreSharedNotCopied) {
    const QByteArray bytes("pay\0load", 8);
    const PTData data(bytes);
    EXPECT_EQ(data.data().constData(), bytes.constData());
    EXPECT_EQ(data.length(), 8u);
}
