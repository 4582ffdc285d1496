#include "session/PeerMessage.h"

#include <QDateTime>
#include <gtest/gtest.h>

#include <cmath>

using namespace PeerMessage;

TEST(PeerMessage, TextTravelsAsBigEndianLengthAndUtf8) {
    EXPECT_EQ(encodeText("waitASec"), QByteArray::fromHex("00000008") + "waitASec");
    EXPECT_EQ(encodeText(""), QByteArray::fromHex("00000000"));
    const QString accented = QStringLiteral("notice[7]:Caf\u00e9|https://x");
    const QByteArray wire = encodeText(accented);
    EXPECT_EQ(wire.size(), 4 + accented.toUtf8().size()); // length counts bytes, not characters
    EXPECT_EQ(decodeText(wire), accented);
}

TEST(PeerMessage, TextWhoseLengthDisagreesIsAnError) {
    OptError error;
    EXPECT_FALSE(decodeText(QByteArray::fromHex("000000"), &error));
    EXPECT_TRUE(error);
    error.reset();
    EXPECT_FALSE(decodeText(QByteArray::fromHex("00000009") + "waitASec", &error)); // one byte short
    EXPECT_TRUE(error);
    EXPECT_FALSE(decodeText(QByteArray::fromHex("ffffffff") + "x"));
    EXPECT_FALSE(decodeText(QByteArray::fromHex("00000001") + "xy")); // trailing bytes
}

TEST(PeerMessage, DictionariesRoundTripAndNonDictionariesAreRefused) {
    const QVariantMap event{{"eventName", "PencilEvent"}, {"x", 0.25}, {"startOfDrag", true}, {"zoom", 3}};
    const QByteArray bytes = encodeDictionary(event);
    ASSERT_TRUE(bytes.startsWith("bplist00"));
    EXPECT_EQ(decodeDictionary(bytes), event);

    OptError error;
    EXPECT_FALSE(decodeDictionary("not a property list", &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(decodeDictionary(QByteArray()));
    const QVariantList array{1, 2};
    EXPECT_FALSE(decodeDictionary(encodeDictionary({{"a", array}}).left(20))); // truncated
}

TEST(PeerMessage, ValuesAreReadLeniently) {
    const QVariantMap m{
        {"yes", true},
        {"no", false},
        {"one", 1},
        {"zero", 0},
        {"real", 2.75},
        {"text", "1"},
        {"data", QByteArray("1")},
        {"list", QVariantList{1}},
        {"name", "Pencil"},
        {"big", 1e300},
        {"nan", std::nan("")},
        {"huge", qlonglong(1) << 40},
        {"date", QDateTime::fromSecsSinceEpoch(0)},
    };
    // Booleans: booleans and numbers by their value; anything else, or nothing, is NO.
    EXPECT_TRUE(boolValue(m, "yes"));
    EXPECT_TRUE(boolValue(m, "one"));
    EXPECT_TRUE(boolValue(m, "real"));
    EXPECT_FALSE(boolValue(m, "no"));
    EXPECT_FALSE(boolValue(m, "zero"));
    for (const char* k : {"text", "data", "list", "name", "date", "missing"})
        EXPECT_FALSE(boolValue(m, k)) << k;

    // Numbers: numbers and booleans; a text is not a number even when it reads like one.
    EXPECT_EQ(doubleValue(m, "real"), 2.75);
    EXPECT_EQ(doubleValue(m, "yes"), 1.0);
    EXPECT_EQ(intValue(m, "real"), 2);
    EXPECT_EQ(integerValue(m, "huge"), qlonglong(1) << 40);
    EXPECT_EQ(intValue(m, "huge"), INT32_MAX); // clamped, not wrapped
    EXPECT_EQ(intValue(m, "big"), INT32_MAX);
    EXPECT_EQ(intValue(m, "nan"), 0);
    for (const char* k : {"text", "data", "list", "name", "date", "missing"}) {
        EXPECT_EQ(doubleValue(m, k), 0.0) << k;
        EXPECT_EQ(intValue(m, k), 0) << k;
    }
    // Single precision, as the device's float fields are read.
    EXPECT_EQ(floatValue({{"x", 0.1}}, "x"), double(0.1f));
    EXPECT_TRUE(std::isinf(floatValue(m, "big")));

    // Strings: only strings; everything else is a null string.
    EXPECT_EQ(stringValue(m, "name"), "Pencil");
    for (const char* k : {"one", "yes", "data", "missing"})
        EXPECT_TRUE(stringValue(m, k).isNull()) << k;
}

