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
    // A length that disagrees with the bytes: too short to hold one, one byte short, trailing bytes.
    for (const QByteArray& bad :
         {QByteArray::fromHex("000000"), QByteArray::fromHex("00000009") + "waitASec",
          QByteArray::fromHex("ffffffff") + "x", QByteArray::fromHex("00000001") + "xy"}) {
        OptError error;
        EXPECT_FALSE(decodeText(bad, &error)) << bad.toHex().toStdString();
        EXPECT_TRUE(error);
    }
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

// Booleans and numbers are read from either by their value, integers clamped rather than wrapped, floats
// in single precision as the device's fields are; a text is not a number even when it reads like one,
// and a string is only ever a string. Anything else, or nothing, reads as NO, 0 or a null string.
TEST(PeerMessage, ValuesAreReadLeniently) {
    const struct {
        const char* what;
        QVariant value; // none: the key is missing
        bool b;
        double d;
        int i;
    } rows[] = {
        {"true", true, true, 1, 1},
        {"false", false, false, 0, 0},
        {"one", 1, true, 1, 1},
        {"zero", 0, false, 0, 0},
        {"real", 2.75, true, 2.75, 2},
        {"2^40", qlonglong(1) << 40, true, double(qlonglong(1) << 40), INT32_MAX},
        {"1e300", 1e300, true, 1e300, INT32_MAX},
        {"text", "1", false, 0, 0},
        {"data", QByteArray("1"), false, 0, 0},
        {"list", QVariantList{1}, false, 0, 0},
        {"date", QDateTime::fromSecsSinceEpoch(0), false, 0, 0},
        {"missing", QVariant(), false, 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const QVariantMap m = r.value.isValid() ? QVariantMap{{"k", r.value}} : QVariantMap{};
        EXPECT_EQ(boolValue(m, "k"), r.b);
        EXPECT_EQ(doubleValue(m, "k"), r.d);
        EXPECT_EQ(intValue(m, "k"), r.i);
        EXPECT_EQ(stringValue(m, "k").isNull(), r.value.typeId() != QMetaType::QString);
    }
    EXPECT_EQ(integerValue({{"k", qlonglong(1) << 40}}, "k"), qlonglong(1) << 40);
    EXPECT_EQ(intValue({{"k", std::nan("")}}, "k"), 0);
    EXPECT_EQ(floatValue({{"k", 0.1}}, "k"), double(0.1f));
    EXPECT_TRUE(std::isinf(floatValue({{"k", 1e300}}, "k")));
    EXPECT_EQ(stringValue({{"k", "Pencil"}}, "k"), "Pencil");
}
