#include "display/DeviceCatalogue.h"
#include "base/Bundle.h"

#include <gtest/gtest.h>

#include <set>

using namespace DeviceCatalogue;

TEST(DeviceCatalogue, DeviceKeysFollowTheFirstMatchingPrefix) {
    const std::pair<const char*, const char*> cases[] = {
        {"iPhone10,3", "iPhone6"}, {"iPhone10,6", "iPhone6"},  {"iPhone8,4", "iPhone5s"},
        {"iPhone6,1", "iPhone5s"}, {"iPod7,1", "iPhone5"},     {"iPod5,1", "iPhone5"},
        {"iPhone5,2", "iPhone5"},  {"iPhone4,1", "iPhone4"},   {"iPhone7,2", "iPhone6"},
        {"iPhone9,4", "iPhone6p"}, {"iPhone10,5", "iPhone6p"}, {"iPhone12,1", "iPhone6"},
        {"iPad7,3", "iPadPro"},    {"iPad6,8", "iPadPro"},     {"iPad8,1", "iPad"},
        {"iPad2,5", "iPad2"},      {"iPad1,1", "iPad2"},       {"iPhone3,1", "iPhone4"},
        {"iPod4,1", "iPhone4"},    {"Watch1,1", "iPad"},       {"", "iPad"},
    };
    for (const auto& [hw, key] : cases)
        EXPECT_EQ(getDeviceKey(QLatin1String(hw)), QLatin1String(key)) << hw;
}

TEST(DeviceCatalogue, CategoryAndCapabilityTables) {
    for (const auto& [hw, category] :
         {std::pair{"iPhone10,3", "iPhone"}, {"iPod9,1", "iPhone"}, {"Mac", "iPad"}})
        EXPECT_EQ(getDeviceCategory(QLatin1String(hw)), QLatin1String(category));

    for (const char* hw : {"iPad", "iPad1,1", "iPhone3,3", "iPod4,1", "iPad2,7"})
        EXPECT_FALSE(supportHighResolutions(QLatin1String(hw))) << hw;
    // Exact matches only: a longer string with a listed prefix is capable.
    for (const char* hw : {"iPad3,1", "iPad2,71", "iPhone4,1", "iPad ", "ipad"})
        EXPECT_TRUE(supportHighResolutions(QLatin1String(hw))) << hw;

    for (const char* hw : {"iPhone5,4", "iPad3,6", "iPad5,2", "iPod1,1"})
        EXPECT_FALSE(cloneHiResByDefault(QLatin1String(hw))) << hw;
    for (const char* hw : {"iPad", "iPad5,3", "iPhone6,1", "iPad7,3"})
        EXPECT_TRUE(cloneHiResByDefault(QLatin1String(hw))) << hw;
}

TEST(DeviceCatalogue, SizeClassesByDeviceAndViewSize) {
    const QString pro = QStringLiteral("iPadPro"), pad = QStringLiteral("iPad"),
                  phone = QStringLiteral("iPhone6");
    EXPECT_EQ(getSizeClass({375, 1024}, pro), QStringLiteral("LandscapeCompact")); // Slide Over
    EXPECT_EQ(getSizeClass({375, 1366}, pro), QStringLiteral("PortraitCompact"));
    EXPECT_EQ(getSizeClass({375, 984}, pro), QStringLiteral("LandscapeCompact"));
    EXPECT_EQ(getSizeClass({981, 1024}, pro), QStringLiteral("LandscapeRegular"));
    EXPECT_EQ(getSizeClass({551, 834}, pro), QStringLiteral("LandscapeHalf"));
    EXPECT_EQ(getSizeClass({834, 1112}, pro), QStringLiteral("Portrait"));
    EXPECT_EQ(getSizeClass({694, 768}, pad), QStringLiteral("LandscapeRegular"));
    EXPECT_EQ(getSizeClass({320, 1024}, pad), QStringLiteral("PortraitCompact"));
    // The iPad Pro rows do not apply to other iPads, and nothing but the orientation to phones.
    EXPECT_EQ(getSizeClass({981, 1024}, pad), QStringLiteral("Portrait"));
    EXPECT_EQ(getSizeClass({694, 768}, phone), QStringLiteral("Portrait"));
    EXPECT_EQ(getSizeClass({667, 375}, phone), QStringLiteral("Landscape"));
    EXPECT_EQ(getSizeClass({500, 500}, pro), QStringLiteral("Portrait"));
    // Compared exactly: a fraction of a point is another size.
    EXPECT_EQ(getSizeClass({375.5, 1024}, pro), QStringLiteral("Portrait"));
}

TEST(DeviceCatalogue, ModeTableKeysSplitAtTheFirstOrientation) {
    EXPECT_EQ(parseDeviceKey(QStringLiteral("iPadProLandscapeRegular2")), QStringLiteral("iPadPro"));
    EXPECT_EQ(parseSizeClass(QStringLiteral("iPadProLandscapeRegular2")), QStringLiteral("LandscapeRegular"));
    EXPECT_EQ(parseDeviceKey(QStringLiteral("iPad2PortraitCompact1")), QStringLiteral("iPad2"));
    EXPECT_EQ(parseSizeClass(QStringLiteral("iPad2PortraitCompact1")), QStringLiteral("PortraitCompact"));
    EXPECT_EQ(parseSizeClass(QStringLiteral("iPadPortraitLandscape3")), QStringLiteral("PortraitLandscape"));
    EXPECT_TRUE(parseDeviceKey(QStringLiteral("iPad3")).isNull());
    EXPECT_TRUE(parseSizeClass(QStringLiteral("iPad3")).isNull());
    EXPECT_EQ(parseSizeClass(QStringLiteral("Portrait")), QStringLiteral("Portrai"));
}

TEST(DeviceCatalogue, SizeIndexAndModeLookups) {
    const QVariantMap table{
        {QStringLiteral("iPadProLandscape1"), 811},
        {QStringLiteral("iPadProLandscape2"), 812},
        {QStringLiteral("iPadLandscape2"), 812},
        {QStringLiteral("iPadProPortrait3"), 812},
        {QStringLiteral("iPadProBroken7"), 812},
        {QStringLiteral("iPadProLandscapeX"), QStringLiteral("x")},
    };
    // The last matching key in table order wins ("iPadProPortrait3" sorts after "iPadProLandscape2").
    EXPECT_EQ(getSizeIndex(table, 812, QStringLiteral("iPadPro")), 3);
    EXPECT_EQ(getSizeIndex(table, 811, QStringLiteral("iPadPro")), 1);
    EXPECT_EQ(getSizeIndex(table, 812, QStringLiteral("iPad")), 2);
    EXPECT_EQ(getSizeIndex(table, 811, QStringLiteral("iPad")), 0);
    EXPECT_EQ(getSizeIndex(table, -1, QStringLiteral("iPadPro")), 0);

    EXPECT_EQ(getMode(table, QStringLiteral("iPadPro"), QStringLiteral("Landscape"), 2, -1), 812);
    EXPECT_EQ(getMode(table, QStringLiteral("iPadPro"), QStringLiteral("Landscape"), 0, 811), 0);
    EXPECT_EQ(getMode(table, QStringLiteral("iPadPro"), QStringLiteral("Landscape"), 3, -1), 0);
    EXPECT_EQ(getMode(table, QStringLiteral("iPadPro"), QStringLiteral("Landscape"), 12, -1), 0);

    // Without a table every lookup finds nothing.
    EXPECT_EQ(getSizeIndex({}, 811, QStringLiteral("iPadPro")), 0);
    EXPECT_EQ(getMode({}, QStringLiteral("iPadPro"), QStringLiteral("Landscape"), 1, -1), 0);
}

TEST(DeviceCatalogue, ResolutionLabelsReadAsPixels) {
    EXPECT_EQ(getSizeFromString(QStringLiteral("1366 x 1024")), QSize(1366, 1024));
    EXPECT_EQ(getSizeFromString(QStringLiteral("1366 x 1024 (Retina)")), QSize(2732, 2048));
    EXPECT_EQ(getSizeFromString(QStringLiteral("768 x 1024")), QSize(1024, 768));
    EXPECT_EQ(getSizeFromString(QStringLiteral("DisplaySettings...")), QSize(0, 0));
    EXPECT_EQ(getSizeFromString(QString()), QSize(0, 0));
    EXPECT_EQ(getSizeFromString(QStringLiteral("12 x")), QSize(12, 0));
    EXPECT_EQ(getSizeFromString(QStringLiteral(" x 5")), QSize(5, 0));
    EXPECT_EQ(getSizeFromString(QStringLiteral("  -7abc x +9")), QSize(9, -7));
    // Numbers past the int32 range are held at its limit rather than wrapping.
    EXPECT_EQ(getSizeFromString(QStringLiteral("99999999999 x 3000000000 (Retina)")),
              QSize(2147483647, 2147483647));
}

// The table shipped with the program: every key must split into a device key the catalogue hands
// out, one of the size classes, and an index 1 to 3, and every mode must lead back to its own index.
TEST(DeviceCatalogue, ShippedModeTableIsConsistent) {
    const QVariantMap table = Bundle::main().propertyListResource(QStringLiteral("ModeTable")).toMap();
    ASSERT_FALSE(table.isEmpty());
    const std::set<QString> deviceKeys{"iPhone4",  "iPhone5", "iPhone5s", "iPhone6",
                                       "iPhone6p", "iPad2",   "iPad",     "iPadPro"};
    const std::set<QString> sizeClasses{"Landscape",       "Portrait",      "LandscapeRegular",
                                        "PortraitRegular", "LandscapeHalf", "LandscapeCompact",
                                        "PortraitCompact"};
    std::set<QString> seenDevices;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const QString key = it.key();
        const QString device = parseDeviceKey(key), sizeClass = parseSizeClass(key);
        EXPECT_TRUE(deviceKeys.contains(device)) << key.toStdString();
        EXPECT_TRUE(sizeClasses.contains(sizeClass)) << key.toStdString();
        const int32_t index = leadingInt(QStringView(key).right(1));
        EXPECT_TRUE(index >= 1 && index <= 3) << key.toStdString();
        EXPECT_EQ(getMode(table, device, sizeClass, index, -1), it.value().toInt());
        EXPECT_EQ(getSizeIndex(table, it.value().toInt(), device), index) << key.toStdString();
        seenDevices.insert(device);
    }
    EXPECT_EQ(seenDevices, deviceKeys);
    // Every size class an iPad can report has its three entries.
    for (const QString& sizeClass : sizeClasses)
        for (int index = 1; index <= 3; ++index)
            EXPECT_NE(getMode(table, QStringLiteral("iPadPro"), sizeClass, index, -1), 0)
                << sizeClass.toStdString();
}
