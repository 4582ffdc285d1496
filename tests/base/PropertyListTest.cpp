#include "base/PropertyList.h"
#include "base/Bundle.h"

#include <QDateTime>
#include <QPointF>
#include <QTimeZone>
#include <gtest/gtest.h>

namespace {

QVariantMap sample() {
    return QVariantMap{
        {"eventName", QStringLiteral("PencilEvent")},
        {"x", 0.41},
        {"pressure", 0.0},
        {"touch", true},
        {"hover", false},
        {"count", qlonglong(-3)},
        {"big", qlonglong(1) << 40},
        {"blob", QByteArray("\x00\x01\xff", 3)},
        {"when", QDateTime(QDate(2024, 2, 29), QTime(12, 30, 15), QTimeZone::utc())},
        {"list", QVariantList{1, QStringLiteral("é✓"), QVariantMap{{"k", 2.5}}}},
        {"empty", QVariantMap{}},
    };
}

} // namespace

TEST(PropertyList, RoundTripsEveryTypeInBothFormats) {
    for (const auto& [format, magic] :
         {std::pair{PropertyList::Format::Binary, "bplist00"}, {PropertyList::Format::Xml, "<?xml"}}) {
        OptError error;
        const QByteArray bytes = PropertyList::serialize(sample(), format, &error);
        ASSERT_FALSE(error) << error->toString().toStdString();
        EXPECT_TRUE(bytes.startsWith(magic));
        const QVariantMap back = PropertyList::parseDictionary(bytes, &error);
        ASSERT_FALSE(error) << error->toString().toStdString();
        const QVariantMap expected = sample();
        ASSERT_EQ(back.keys(), expected.keys());
        for (const QString& key : expected.keys())
            EXPECT_EQ(back.value(key), expected.value(key)) << key.toStdString();
        EXPECT_EQ(back.value("touch").typeId(), QMetaType::Bool);
        EXPECT_EQ(back.value("blob").typeId(), QMetaType::QByteArray);
    }
}

// Outside input may carry strings with a NUL inside. libplist aborts the process on reading back some
// (XML text, UTF-16 strings and keys) and silently cuts others short: all are refused alike, as is
// anything that is not a whole dictionary.
TEST(PropertyList, RefusesWhatIsNotADictionaryStringsWithANulInsideAndValuesWithoutAForm) {
    const QByteArray nul(1, '\0');
    const QByteArray xmlString = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><string>a" +
                                 nul + "b</string></dict></plist>";
    const QByteArray xmlKey = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a" + nul +
                              "b</key><string>v</string></dict></plist>";
    const QByteArray binary = PropertyList::serialize(
        QVariantMap{{"k", QStringLiteral("aXb")}, {QStringLiteral("\u00e9K"), QStringLiteral("\u00e9U")}},
        PropertyList::Format::Binary);
    QByteArray ascii = binary, utf16String = binary, utf16Key = binary;
    ascii.replace("aXb", "a" + nul + "b");
    utf16String.replace(QByteArray("\x00U", 2), nul + nul); // the UTF-16 'U' becomes U+0000
    utf16Key.replace(QByteArray("\x00K", 2), nul + nul);
    const QByteArray good = PropertyList::serialize(sample(), PropertyList::Format::Binary);
    const QByteArray array = PropertyList::serialize(QVariantList{1, 2}, PropertyList::Format::Binary);
    OptError error;
    for (const QByteArray& bad :
         {QByteArray(), QByteArray("hello"), good.left(good.size() / 2), QByteArray("bplist00"),
          QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a"), array, xmlString, xmlKey, ascii,
          utf16String, utf16Key}) {
        error.reset();
        EXPECT_TRUE(PropertyList::parseDictionary(bad, &error).isEmpty());
        ASSERT_TRUE(error) << bad.toHex().toStdString();
        EXPECT_EQ(error->domain, kPropertyListErrorDomain);
    }
    error.reset();
    EXPECT_TRUE(PropertyList::parse(array, &error).isValid()) << "an array is a property list";
    EXPECT_EQ(PropertyList::parseDictionary(binary, &error).value(QStringLiteral("\u00e9K")).toString(),
              QStringLiteral("\u00e9U"));
    const QByteArray xml = PropertyList::serialize(QVariantMap{{"k", 1}}, PropertyList::Format::Xml);
    EXPECT_EQ(PropertyList::parseDictionary(xml + nul, &error).value("k"), 1)
        << "a NUL that ends XML text is harmless";
    EXPECT_FALSE(error);

    QVariant deep = QVariantList{};
    for (int i = 0; i < 200; ++i)
        deep = QVariantList{deep};
    for (const QVariant& value : {QVariant(QVariantMap{{"p", QPointF(1, 2)}}), deep}) {
        error.reset();
        EXPECT_TRUE(PropertyList::serialize(value, PropertyList::Format::Binary, &error).isEmpty());
        EXPECT_TRUE(error.has_value());
    }
}

TEST(Bundle, ReadsInfoKeysAndPropertyListResourcesCompiledIn) {
    const Bundle& bundle = Bundle::main();
    EXPECT_FALSE(bundle.bundleIdentifier().isEmpty());
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString").toString().isEmpty());
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey("NoSuchKey").isValid());
    const QVariantMap defaults = bundle.propertyListResource("Defaults").toMap();
    EXPECT_TRUE(defaults.value("protocolVersion").toString().contains('.'));
    EXPECT_FALSE(bundle.propertyListResource("NoSuchResource").isValid());
}
