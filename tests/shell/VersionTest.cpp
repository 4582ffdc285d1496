#include "shell/DocumentServer.h"
#include "shell/ShellFixture.h"
#include "shell/VersionDocument.h"

#include <QRegularExpression>

namespace {

// The companion app at 1.1 minimum, 1.8 recommended and 2.0 current, the Mini app at 2.1 / 2.2 / 2.3,
// a review after 7 days at most 3 times, a notice, and this program at the versions given.
QByteArray document(const QString& noticeId = "6", const QString& target = "11", const QString& link = {},
                    const QStringList& osx = {"1.0.0", "1.0.0", "1.0.0"}) {
    return QStringLiteral(
               "<?xml version=\"1.0\"?><versions><iOS><currentVersion>2.0</currentVersion><minVersion>1.1"
               "</minVersion><recVersion>1.8</recVersion></iOS><OSX><minVersion>%1</minVersion><recVersion>%2"
               "</recVersion><currentVersion>%3</currentVersion></OSX><iOSZubPadMini><currentVersion>2.3"
               "</currentVersion><minVersion>2.1</minVersion><recVersion>2.2</recVersion></iOSZubPadMini>"
               "<askReview><afterDays>7</afterDays><maxTimes>3</maxTimes></askReview><Notice><noticeId>%4"
               "</noticeId><target>%5</target><message>New brushes</message>%6</Notice></versions>")
        .arg(osx[0], osx[1], osx[2], noticeId, target, link.isEmpty() ? "" : "<link>" + link + "</link>")
        .toUtf8();
}

class VersionTest : public ShellTest {
protected:
    // A file holding `body`, as the document's address.
    static QUrl documentFile(const QByteArray& body) {
        const QString path = freshTempPath(QStringLiteral("version"));
        EXPECT_TRUE(writeFile(path, body));
        return QUrl::fromLocalFile(path);
    }
    // Launches reading the document at `url`, and waits until the download is over.
    void launchWith(const QUrl& url) {
        versionURL = url;
        launch();
        ASSERT_TRUE(waitUntil([&] { return versions->checkMinVersionReturned(); }));
    }
    // A device linked and introduced, once the introduction was answered (what the shell says on an
    // introduction comes before the answer).
    std::unique_ptr<TestPeer> introduce(const QVariantMap& intro) {
        auto peer = linkDevice(7);
        refuseLoopback();
        peer->sendIntroduction(intro);
        EXPECT_TRUE(
            waitUntil([&] { return !peer->texts().filter(QRegularExpression("^Version:")).isEmpty(); }));
        spinEventLoop(20);
        return peer;
    }
    static QStringList versionTexts(const TestPeer& peer) {
        static const QRegularExpression kVersionText(
            QStringLiteral("^(forceUpdate:|alertUpdate:|notice\\[|askReview:)"));
        return peer.texts().filter(kVersionText);
    }

    DocumentServer server;
};

} // namespace

// The first match of a node counts, with the text of all its descendants; a missing value is null.
TEST(VersionDocumentTest, ReadsTheFirstMatchAndRefusesWhatIsNotXML) {
    const auto read = VersionDocument::parse("<a><b><OSX><minVersion>1.<i>2</i></minVersion><recVersion/>"
                                             "</OSX></b><OSX><minVersion>9</minVersion></OSX></a>");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->OSX.minVersion, "1.2");
    EXPECT_TRUE(read->OSX.currentVersion.isNull() && !read->OSX.recVersion.isNull() && !read->notice);
    for (const char* bad : {"", "<iOS><minVersion>1", "not xml <", "<a></b>"})
        EXPECT_FALSE(VersionDocument::parse(bad)) << bad;
    const auto big =
        VersionDocument::parse("<Notice><message>" + QByteArray(10 << 20, 'm') + "</message></Notice>");
    EXPECT_EQ(big ? big->notice->message.size() : 0, 10 << 20);
}

TEST(VersionDocumentTest, VersionsCompareNumericallyAndWhatDoesNotParseNeverWins) {
    // clang-format off
    const std::vector<std::tuple<const char*, const char*, bool>> rows = {
        {"1.10", "1.9", true}, {"1.9", "1.10", false}, {"1.0.1", "1.0", true}, {"1.0", "1.0.0", false},
        {"2", "1.99.99", true}, {"999999999", "1.0", true}, {"", "1.0", false}, {"2.0", "", false},
        {"1..2", "1.0", false}, {"1.-2", "1.0", false}, {"1.2a", "1.0", false}, {" 2.0", "1.0", false},
        {"99999999999999999999", "1.0", false}};
    // clang-format on
    for (const auto& [a, b, greater] : rows)
        EXPECT_EQ(isVersionGreater(a, b), greater) << a << " > " << b;
}

// Own protocol 1.0.9. Only the first two parts count; an older device is told to update to the current
// app (with no document: to nothing); a newer one gets no mode and makes this program ask for its own
// update. Whatever goes wrong with the download is no document.
TEST_F(VersionTest, ProtocolsDecideWhoUpdatesAndAnUnreadableDocumentIsNone) {
    SKIP_WITHOUT_HTTP();
    server.paths["/loop"] = DocumentServer::response(302, {}, "/loop");
    server.paths["/big"] =
        DocumentServer::response(200, document() + QByteArray(VersionChecker::kMaxDocumentSize, ' '));
    server.paths["/broken"] = DocumentServer::response(200, document().chopped(20));
    server.paths["/moved"] = DocumentServer::response(301, {}, "/version.xml");
    server.paths["/version.xml"] = DocumentServer::response(200, document());
    struct Row {
        const char* path;
        const char* peer;
        QStringList texts;
        bool modeSet;
    };
    for (const Row& row :
         {Row{"/version.xml", "1.0.7", {"askReview:7:3"}, true},
          Row{"/version.xml", "0.9.9", {"forceUpdate:2.0"}, false},
          Row{"/moved", "", {"forceUpdate:2.0"}, false}, Row{"/version.xml", "1.1.0", {}, false},
          Row{"/missing", "0.9", {"forceUpdate:"}, false}, Row{"/loop", "0.9", {"forceUpdate:"}, false},
          Row{"/big", "0.9", {"forceUpdate:"}, false}, Row{"/broken", "0.9", {"forceUpdate:"}, false}}) {
        // clang-format on
        SCOPED_TRACE(std::string(row.path) + " " + row.peer);
        alerts.shown.clear();
        launchWith(server.url(row.path));
        log.clear();
        auto peer = introduce({{"protocolVersion", row.peer}, {"hardwareString", "iPad7,3"}});
        EXPECT_EQ(versionTexts(*peer), row.texts);
        EXPECT_EQ(log.contains("adjustInitialMode(iPad7,3)"), row.modeSet);
        const bool newer = QByteArray(row.peer) == "1.1.0";
        EXPECT_EQ(versions->bNotSupportedVersion(), newer);
        const QString text =
            "The app on your tablet is newer than Zub Pad can work with. Please update Zub Pad.";
        ASSERT_EQ(alerts.shown.size(), newer ? 1u : 0u);
        EXPECT_TRUE(!newer || alerts.shown[0].informativeText == text);
    }
}

// This program's versions against the running 1.0.0: a current document asks nothing; a newer one
// offers the update ("Ok" starts the updater) and marks the menu item; a minimum above it forces the
// update ("Ok" updates, "Quit" ends the program through the quit path and offers nothing more).
TEST_F(VersionTest, TheDocumentOffersOrForcesThisProgramsUpdate) {
    struct Row {
        QStringList osx;
        int answer;
        QString alert; // its informative text and buttons
        int updates;
        const char* newVersion;
        bool forced;
    };
    const QString offer = "Zub Pad 1.2.0 is ready to install. Would you like to update now? OK|Not Now";
    const QString force =
        "This version of Zub Pad is no longer supported. Please update it to keep using your tablet. OK|Quit";
    const int ok = Alerts::kFirstButtonReturn, other = ok + 1;
    // clang-format off
    for (const Row& row : {Row{{"1.0.0", "1.0.0", "1.0.0"}, ok, {}, 0, nullptr, false},
                           Row{{"0.9", "1.1.0", "1.2.0"}, ok, offer, 1, "1.2.0", false},
                           Row{{"0.9", "1.1.0", "1.2.0"}, other, offer, 0, "1.2.0", false},
                           Row{{"1.0.1", "1.0.0", "1.0.1"}, ok, force, 1, "1.0.1", true},
                           Row{{"2.0", "2.0", "2.0"}, other, force, 0, nullptr, true}}) {
        // clang-format on
        SCOPED_TRACE(row.osx.join(' ').toStdString());
        alerts.shown.clear();
        alerts.answers = {row.answer};
        exits.clear();
        int updates = 0;
        versionURL = documentFile(document("6", "11", {}, row.osx));
        launch();
        versions->setParts(
            {.checkForUpdates = [&] { ++updates; },
             .terminate = [this] { delegate->terminate(); }});
        ASSERT_TRUE(waitUntil([&] { return versions->checkMinVersionReturned(); }));
        QStringList shown;
        for (const Alert& alert : alerts.shown)
            shown << alert.informativeText + " " + alert.buttons.join('|');
        EXPECT_EQ(shown, row.alert.isEmpty() ? QStringList() : QStringList{row.alert});
        EXPECT_EQ(updates, row.updates);
        EXPECT_EQ(versions->newVersion(), QString(row.newVersion));
        EXPECT_EQ(versions->bNotSupportedVersion(), row.forced);
        // "Quit" takes the shell's quit: the device (none here) told, the link shut, then status 0.
        const bool quits = row.forced && row.answer == other;
        clock.advance(AppDelegate::kAppWillTerminateTimeout + AppDelegate::kLinkSettleTime + 0.01);
        EXPECT_EQ(exits, quits ? std::vector<int>{0} : std::vector<int>());
    }
}

// A server that does not answer holds up neither the start nor the device's mode; a device introduced
// before the document gets its checks at the second retry, 18 s after its introduction, when the
// document came between the two retries.
TEST_F(VersionTest, ADeviceIntroducedBeforeTheDocumentIsCheckedAtTheSecondRetry) {
    SKIP_WITHOUT_HTTP();
    server.hold = true;
    server.paths["/version.xml"] = DocumentServer::response(200, document());
    versionURL = server.url("/version.xml");
    launch();
    ASSERT_TRUE(waitUntil([&] { return server.waiting() == 1; }));
    // A 1.0.6 device is not asked for a review.
    auto peer = introduce({{"protocolVersion", "1.0.6"},
                           {"hardwareString", "iPad7,3"},
                           {"softwareString", "Zub Pad"},
                           {"softwareVersion", "1.5"}});
    EXPECT_EQ(versionTexts(*peer), QStringList());
    EXPECT_TRUE(log.contains("adjustInitialMode(iPad7,3)"));
    clock.advance(VersionChecker::kFirstRetry);
    server.release();
    ASSERT_TRUE(waitUntil([&] { return versions->checkMinVersionReturned(); }));
    clock.advance(VersionChecker::kSecondRetry - 0.01);
    spinEventLoop(20);
    EXPECT_EQ(versionTexts(*peer), QStringList());
    clock.advance(0.01);
    ASSERT_TRUE(waitUntil([&] { return versionTexts(*peer).size() == 2; }));
    EXPECT_EQ(versionTexts(*peer), (QStringList{"alertUpdate:2.0", "notice[6]:New brushes"}));
}

// The device's app against the document: the minimum forces (and nothing else is said), the
// recommended version suggests, the Mini app has versions of its own, and a notice reaches only our
// own app, for targets "11" and "01", once: not to the device introduced again, not after a restart.
TEST_F(VersionTest, TheDevicesAppIsToldToUpdateAndGetsTheNoticeOnce) {
    struct Row {
        const char *app, *version, *protocol, *noticeId, *target;
        qint64 lastNoticeId;
        QStringList texts;
    };
    const QString link = "https://zubpad.app/n/6", notice = "notice[6]:New brushes|" + link;
    // clang-format off
    for (const Row& row : {Row{"Zub Pad", "1.0", "1.0.7", "6", "11", 0, {"forceUpdate:2.0", "askReview:7:3"}},
                           Row{"Zub Pad", "1.5", "1.0.6", "6", "01", 0, {"alertUpdate:2.0", notice}},
                           Row{"Zub Pad", "2.0", "1.0.6", "6", "11", 5, {notice}},
                           Row{"Zub Pad", "2.0", "1.0.6", "5", "11", 5, {}},
                           Row{"Zub Pad", "2.0", "1.0.6", "6", "10", 0, {}},
                           Row{"Zub Pad", "2.0", "1.0.6", "x6", "11", 0, {}},
                           Row{"Other", "2.0", "1.0.6", "6", "11", 0, {}},
                           Row{"Zub Pad Mini", "2.0", "1.0.6", "6", "11", 0, {"forceUpdate:2.3"}},
                           Row{"Zub Pad Mini", "2.1", "1.0.6", "6", "11", 0, {"alertUpdate:2.3", notice}}}) {
        // clang-format on
        SCOPED_TRACE(QStringLiteral("%1 %2 %3").arg(row.app, row.version, row.noticeId).toStdString());
        defaults.setInteger(row.lastNoticeId, "lastNoticeId");
        QStringList again = row.texts;
        again.removeIf([](const QString& text) { return text.startsWith("notice["); });
        for (const QStringList& expected : {row.texts, again}) {
            launchWith(documentFile(document(row.noticeId, row.target, link)));
            auto peer = introduce({{"protocolVersion", row.protocol},
                                   {"softwareString", row.app},
                                   {"softwareVersion", row.version}});
            EXPECT_EQ(versionTexts(*peer), expected);
            const qsizetype heard = versionTexts(*peer).size();
            delegate->channelChanged(1);
            spinEventLoop(20);
            EXPECT_EQ(versionTexts(*peer).mid(heard), again);
        }
        EXPECT_EQ(defaults.integerForKey("lastNoticeId"),
                  row.texts.join(' ').contains("notice[") ? 6 : row.lastNoticeId);
    }
}
