#include "base/UserDefaults.h"
#include "base/PropertyList.h"
#include "fakes/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <thread>

namespace {

QString freshPath() {
    return freshTempPath(QStringLiteral("ud-")) + QStringLiteral("/sub/zubpad.plist");
}

QVariantMap onDisk(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return PropertyList::parseDictionary(file.readAll());
}

} // namespace

TEST(UserDefaultsTest, BooleansAreNumbersOnDiskAndEveryWriteIsThereAtOnce) {
    const QString path = freshPath();
    UserDefaults defaults(path);
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("autoUpdateApp")));
    EXPECT_FALSE(defaults.containsKey(QStringLiteral("autoUpdateApp")));

    defaults.setBool(true, QStringLiteral("autoUpdateApp"));
    defaults.setBool(false, QStringLiteral("useSystemCursor"));
    defaults.setDouble(30.0, QStringLiteral("FPS"));
    defaults.setObject(QStringLiteral("7:3"), QStringLiteral("askReview"));
    // Without any explicit synchronise: a process killed now keeps all of it.
    const QVariantMap stored = onDisk(path);
    EXPECT_EQ(stored.value(QStringLiteral("autoUpdateApp")), QVariant(qlonglong(1)));
    EXPECT_EQ(stored.value(QStringLiteral("useSystemCursor")), QVariant(qlonglong(0)));
    EXPECT_EQ(stored.value(QStringLiteral("FPS")), QVariant(30.0));
    EXPECT_EQ(stored.value(QStringLiteral("askReview")), QVariant(QStringLiteral("7:3")));

    UserDefaults reopened(path);
    EXPECT_TRUE(reopened.boolForKey(QStringLiteral("autoUpdateApp")));
    EXPECT_TRUE(reopened.containsKey(QStringLiteral("useSystemCursor")));
    EXPECT_FALSE(reopened.boolForKey(QStringLiteral("useSystemCursor")));
    EXPECT_EQ(reopened.doubleForKey(QStringLiteral("FPS")), 30.0);
    EXPECT_EQ(reopened.stringForKey(QStringLiteral("askReview")), QStringLiteral("7:3"));

    reopened.removeObjectForKey(QStringLiteral("FPS"));
    EXPECT_FALSE(onDisk(path).contains(QStringLiteral("FPS")));
    reopened.removePersistentDomain();
    EXPECT_TRUE(onDisk(path).isEmpty());
    EXPECT_FALSE(reopened.status());

    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/xdg-home");
    EXPECT_EQ(UserDefaults::defaultFilePath(), QStringLiteral("/xdg-home/zubpad/zubpad.plist"));
    qputenv("XDG_CONFIG_HOME", saved);
}

TEST(UserDefaultsTest, ValuesWrittenByHandAreReadLeniently) {
    const QString path = freshPath();
    QVariantMap values{
        {QStringLiteral("yesText"), QStringLiteral(" YES")},
        {QStringLiteral("trueText"), QStringLiteral("true")},
        {QStringLiteral("oneText"), QStringLiteral("+01")},
        {QStringLiteral("noText"), QStringLiteral("NO")},
        {QStringLiteral("zeroText"), QStringLiteral("000")},
        {QStringLiteral("plistTrue"), true},
        {QStringLiteral("half"), 0.5},
        {QStringLiteral("zero"), 0.0},
        {QStringLiteral("data"), QByteArray("\x01", 1)},
        {QStringLiteral("list"), QVariantList{1}},
        {QStringLiteral("rate"), QStringLiteral(" 60 ")},
    };
    ASSERT_TRUE(writeFile(path, PropertyList::serialize(values, PropertyList::Format::Binary)));
    UserDefaults defaults(path);
    for (const char* key : {"yesText", "trueText", "oneText", "plistTrue", "half"})
        EXPECT_TRUE(defaults.boolForKey(QLatin1String(key))) << key;
    for (const char* key : {"noText", "zeroText", "zero", "data", "list", "absent"})
        EXPECT_FALSE(defaults.boolForKey(QLatin1String(key))) << key;
    EXPECT_EQ(defaults.doubleForKey(QStringLiteral("rate")), 60.0);
    EXPECT_EQ(defaults.integerForKey(QStringLiteral("half")), 0);
    EXPECT_EQ(defaults.integerForKey(QStringLiteral("data")), 0);
    EXPECT_TRUE(defaults.stringForKey(QStringLiteral("half")).isNull());
}

// Noise, or a property list that is not a dictionary, is set aside and the domain starts empty (an
// empty file is an empty domain, not a damaged one); a place that cannot be written is reported.
TEST(UserDefaultsTest, ADamagedFileIsSetAsideAndAnUnwritablePlaceIsReported) {
    const QString path = freshPath();
    const auto setAside = [&] {
        QFile file(path + QStringLiteral(".damaged"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    for (const QByteArray& damaged :
         {QByteArray("bplist00 this is no property list"),
          PropertyList::serialize(QVariantList{1, 2}, PropertyList::Format::Xml)}) {
        UserDefaults(path).setBool(true, QStringLiteral("seed"));
        ASSERT_TRUE(writeFile(path, damaged));
        UserDefaults defaults(path);
        EXPECT_FALSE(defaults.containsKey(QStringLiteral("seed")));
        EXPECT_FALSE(defaults.status());
        EXPECT_EQ(setAside(), damaged);
        defaults.setBool(true, QStringLiteral("autoUpdateApp"));
        EXPECT_EQ(onDisk(path), (QVariantMap{{QStringLiteral("autoUpdateApp"), qlonglong(1)}}));
    }
    ASSERT_TRUE(writeFile(path, QByteArray()));
    EXPECT_FALSE(UserDefaults(path).status());
    EXPECT_EQ(setAside(), PropertyList::serialize(QVariantList{1, 2}, PropertyList::Format::Xml));

    // Root ignores permissions: a file where the directory should be fails for everyone.
    const QString blocked = QFileInfo(path).absolutePath() + QStringLiteral("/file/zubpad.plist");
    ASSERT_TRUE(writeFile(QFileInfo(path).absolutePath() + QStringLiteral("/file"), "x"));
    UserDefaults defaults(blocked);
    defaults.setBool(true, QStringLiteral("autoUpdateApp"));
    const OptError error = defaults.synchronize();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, QStringLiteral("UserDefaults"));
}

TEST(UserDefaultsTest, WritersOnSeveralThreadsLoseNothing) {
    const QString path = freshPath();
    UserDefaults defaults(path);
    constexpr int kThreads = 4, kKeys = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < kKeys; ++k) {
                defaults.setInteger(k, QStringLiteral("t%1k%2").arg(t).arg(k));
                EXPECT_FALSE(defaults.boolForKey(QStringLiteral("absent")));
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(onDisk(path).size(), kThreads * kKeys);
    UserDefaults reopened(path);
    EXPECT_EQ(reopened.integerForKey(QStringLiteral("t3k24")), 24);
}
