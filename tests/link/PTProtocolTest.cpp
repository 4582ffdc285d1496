#include "link/PTProtocol.h"
#include "link/PTAddress.h"
#include "link/PTData.h"
#include "link/PTPayload.h"

#include "base/MainQueue.h"
#include "base/PropertyList.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

TEST(PTProtocol, TagsAndHeaderLayout) {
    PTProtocol protocol;
    EXPECT_EQ(protocol.newTag(), 1u);
    EXPECT_EQ(protocol.newTag(), 2u);
    EXPECT_EQ(PTProtocol::sharedProtocolForQueue(mainQueue()).get(),
              PTProtocol::sharedProtocolForQueue(mainQueue()).get());

    const QByteArray payload("abc");
    const auto frame = PTProtocol::createDispatchDataWithFrameOfType(0x01020304, 5, payload);
    EXPECT_EQ(frame.header.toHex(), "00000001010203040000000500000003");
    EXPECT_EQ(frame.payload.constData(), payload.constData()) << "the payload is referenced, not copied";
    EXPECT_EQ(PTProtocol::createDispatchDataWithFrameOfType(7, 0, {}).header.toHex(),
              "00000001000000070000000000000000");

    uint32_t type = 0, tag = 0, size = 0;
    EXPECT_FALSE(PTProtocol::decodeHeader(QByteArray::fromHex("000000010000006800000009fffffffe").constData(),
                                          &type, &tag, &size));
    EXPECT_EQ(type, 104u);
    EXPECT_EQ(tag, 9u);
    EXPECT_EQ(size, 0xfffffffeu);
    const OptError bad = PTProtocol::decodeHeader(
        QByteArray::fromHex("00000002000000680000000900000000").constData(), &type, &tag, &size);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->domain, "PTProtocolError");
    EXPECT_EQ(bad->code, 0);
}

TEST(PTAddress, TextFormsOfAddresses) {
    const PTAddress broadcast = PTAddress::ipv4(0xffffffff, 80);
    EXPECT_EQ(broadcast.name(), "255.255.255.255");
    EXPECT_EQ(broadcast.port(), 80);
    EXPECT_EQ(broadcast.description(), "255.255.255.255:80");

    const PTAddress empty;
    EXPECT_TRUE(empty.name().isNull());
    EXPECT_EQ(empty.port(), 0);
    EXPECT_EQ(empty.description(), "(?)");

    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(443);
    in6.sin6_addr = in6addr_loopback;
    const PTAddress six(reinterpret_cast<const sockaddr*>(&in6), sizeof in6);
    EXPECT_EQ(six.description(), "::1:443");

    // A length shorter than the family's address must not be read past.
    const PTAddress cut(reinterpret_cast<const sockaddr*>(&in6), 4);
    EXPECT_TRUE(cut.name().isNull());
    EXPECT_EQ(cut.port(), 0);
}

// Payloads are shared, never copied, and binary: a zero byte ends nothing.
TEST(PTPayload, DictionariesTravelAsBinaryPropertyListsInSharedBytes) {
    const QByteArray bytes("pay\0load", 8);
    const PTData data(bytes);
    EXPECT_EQ(data.data().constData(), bytes.constData());
    EXPECT_EQ(data.length(), 8u);

    const QVariantMap event{{"eventName", "PencilEvent"}, {"x", 0.41}, {"on", true}};
    const QByteArray plist = PTPayload::createReferencingDispatchData(event);
    EXPECT_TRUE(plist.startsWith("bplist00"));
    EXPECT_EQ(PTPayload::dictionaryWithContentsOfDispatchData(plist), event);
    EXPECT_EQ(PTPayload::dictionaryWithContentsOfDispatchData(
                  PropertyList::serialize(event, PropertyList::Format::Xml)),
              event);
    for (const QByteArray& bad : {QByteArray(), QByteArray("not a plist"), plist.left(plist.size() / 2),
                                  PropertyList::serialize(QVariantList{1, 2}, PropertyList::Format::Binary)})
        EXPECT_TRUE(PTPayload::dictionaryWithContentsOfDispatchData(bad).isEmpty());
    // Something without a property-list form gives no bytes rather than a partial list.
    EXPECT_TRUE(
        PTPayload::createReferencingDispatchData({{"bad", QVariant::fromValue(PTAddress())}}).isEmpty());
}
