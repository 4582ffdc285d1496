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

TEST(PTData, SharesTheBytesItWraps) {
    const QByteArray bytes("pay\0load", 8);
    const PTData data(bytes);
    EXPECT_EQ(data.data().constData(), bytes.constData()) << "shared, not copied";
    EXPECT_EQ(data.length(), 8u);
    EXPECT_EQ(QByteArray(data.data()), bytes) << "a copy keeps what follows a zero byte";
    EXPECT_EQ(data.description(),
              QString::asprintf("<PTData: %p (8 bytes)>", static_cast<const void*>(&data)));
}

TEST(PTPayload, DictionariesTravelAsBinaryPropertyLists) {
    const QVariantMap event{{"eventName", "PencilEvent"}, {"x", 0.41}, {"pressure", 0.35}, {"on", true}};
    const QByteArray bytes = PTPayload::createReferencingDispatchData(event);
    EXPECT_TRUE(bytes.startsWith("bplist00"));
    EXPECT_EQ(PTPayload::dictionaryWithContentsOfDispatchData(bytes), event);

    // Any property-list format is read.
    const QByteArray xml = PropertyList::serialize(event, PropertyList::Format::Xml);
    EXPECT_EQ(PTPayload::dictionaryWithContentsOfDispatchData(xml).value("eventName"), "PencilEvent");

    EXPECT_TRUE(PTPayload::dictionaryWithContentsOfDispatchData({}).isEmpty());
    EXPECT_TRUE(PTPayload::dictionaryWithContentsOfDispatchData("not a plist").isEmpty());
    EXPECT_TRUE(PTPayload::dictionaryWithContentsOfDispatchData(bytes.left(bytes.size() / 2)).isEmpty());
    const QByteArray array = PropertyList::serialize(QVariantList{1, 2}, PropertyList::Format::Binary);
    EXPECT_TRUE(PTPayload::dictionaryWithContentsOfDispatchData(array).isEmpty());
    // Something without a property-list form gives no bytes rather than a partial list.
    EXPECT_TRUE(
        PTPayload::createReferencingDispatchData({{"bad", QVariant::fromValue(PTAddress())}}).isEmpty());
}
