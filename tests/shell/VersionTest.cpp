#include "shell/ShellFixture.h"
#include "shell/VersionDocument.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <deque>
#include <map>

namespace {

// A local web server: each path answers with a status, a body and an optional redirect; a held path
// answers only when released.
class DocumentServer {
public:
    struct Answer {
        int status = 200;
        QByteArray body;
        QByteArray location;
        bool held = false;
    };

    DocumentServer() {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection())
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
        });
    }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path));
    }
    void release() {
        for (auto& [socket, answer] : waiting_)
            if (socket) write(socket, answer);
        waiting_.clear();
    }
    size_t waiting() const { return waiting_.size(); }

    std::map<QByteArray, Answer> paths;

private:
    void read(QTcpSocket* socket) {
        const QByteArray request = socket->peek(socket->bytesAvailable());
        if (!request.contains("\r\n\r\n")) return;
        socket->readAll();
        const QByteArray path = request.split(' ').value(1);
        const auto found = paths.find(path);
        const Answer answer = found != paths.end() ? found->second : Answer{404, "missing"};
        if (answer.held)
            waiting_.push_back({socket, answer});
        else
            write(socket, answer);
    }
    static void write(QTcpSocket* socket, const Answer& answer) {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " X\r\nConnection: close\r\n";
        if (!answer.location.isEmpty()) head += "Location: " + answer.location + "\r\n";
        head += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n";
        socket->write(head + answer.body);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    std::vector<std::pair<QPointer<QTcpSocket>, Answer>> waiting_;
};

struct Notice {
    QString id = QStringLiteral("6");
    QString target = QStringLiteral("11");
    QString link;
};

// A document with the companion app at 1.1 minimum, 1.8 recommended and 2.0 current, the mini app at
// 2.1 / 2.2 / 2.3, a review after 7 days at most 3 times, and this program at the versions given.
QByteArray document(const Notice& notice = {}, const QString& osxMin = "1.0.0",
                    const QString& osxRec = "1.0.0", const QString& osxCurrent = "1.0.0") {
    QString link = notice.link.isEmpty() ? QString() : "<link>" + notice.link + "</link>";
    return QStringLiteral("<?xml version=\"1.0\"?><versions>"
                          "<iOS><currentVersion>2.0</currentVersion><minVersion>1.1</minVersion>"
                          "<recVersion>1.8</recVersion></iOS>"
                          "<OSX><currentVersion>%1</currentVersion><minVersion>%2</minVersion>"
                          "<recVersion>%3</recVersion></OSX>"
                          "<iOSZubPadMini><currentVersion>2.3</currentVersion><minVersion>2.1</minVersion>"
                          "<recVersion>2.2</recVersion></iOSZubPadMini>"
                          "<askReview><afterDays>7</afterDays><maxTimes>3</maxTimes></askReview>"
                          "<Notice><noticeId>%4</noticeId><target>%5</target><message>New brushes</message>%6"
                          "</Notice></versions>")
        .arg(osxCurrent, osxMin, osxRec, notice.id, notice.target, link)
        .toUtf8();
}

// The introduction was answered: what the shell says on an introduction precedes the answer.
bool answered(const TestPeer& peer) {
    const bool done = waitUntil([&] {
        const QStringList texts = peer.texts();
        return std::any_of(texts.begin(), texts.end(),
                           [](const QString& text) { return text.startsWith("Version:"); });
    });
    spinEventLoop(20);
    return done;
}

// The texts of the version service among those the device received.
QStringList versionTexts(const TestPeer& peer) {
    QStringList texts;
    for (const QString& text : peer.texts())
        for (const char* prefix : {"forceUpdate:", "alertUpdate:", "notice[", "askReview:"})
            if (text.startsWith(QLatin1String(prefix))) texts << text;
    return texts;
}

class VersionTest : public ShellTest {
protected:
    // Launches with `body` served as the document, and waits until it was read.
    void launchWith(const QByteArray& body, const QByteArray& path = "/version.xml") {
        server.paths[path] = {200, body};
        versionURL = server.url(QString::fromLatin1(path));
        launch();
        ASSERT_TRUE(waitUntil([&] { return versions->checkMinVersionReturned(); }));
    }
    // The process ended through the shell's quit: the device (when there is one) told first.
    bool endedThroughQuit() {
        if (!waitUntil([&] { return terminationStarted(); })) return false;
        clock.advance(AppDelegate::kAppWillTerminateTimeout + AppDelegate::kLinkSettleTime + 0.01);
        return exits == std::vector<int>{0};
    }
    bool terminationStarted() { return (controller && !controller->ptChannelConnected()) || !exits.empty(); }

    DocumentServer server;
};

} // namespace

TEST(VersionDocumentTest, ReadsTheFirstOfEachNodeAndRefusesWhatIsNotXML) {
    const std::optional<VersionDocument> full = VersionDocument::parse(document({"9", "01", "https://x/y"}));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->iOS.minVersion, "1.1");
    EXPECT_EQ(full->iOSZubPadMini.currentVersion, "2.3");
    EXPECT_EQ(full->OSX.recVersion, "1.0.0");
    ASSERT_TRUE(full->askReview && full->notice);
    EXPECT_EQ(full->askReview->maxTimes, "3");
    EXPECT_EQ(full->notice->link, "https://x/y");

    // Nested and first-match string values; a missing child is null, an empty one empty.
    const auto nested =
        VersionDocument::parse("<a><b><OSX><minVersion>1.<i>2</i></minVersion>"
                               "<recVersion/></OSX></b><OSX><minVersion>9</minVersion></OSX></a>");
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->OSX.minVersion, "1.2");
    EXPECT_TRUE(nested->OSX.recVersion.isEmpty() && !nested->OSX.recVersion.isNull());
    EXPECT_TRUE(nested->OSX.currentVersion.isNull());
    EXPECT_TRUE(nested->iOS.minVersion.isNull());
    EXPECT_FALSE(nested->notice || nested->askReview);

    for (const QByteArray& bad : {QByteArray(), QByteArray("<iOS><minVersion>1"), QByteArray("not xml <"),
                                  QByteArray("<a></b>"), QByteArray("\xff\xfe<\x00")})
        EXPECT_FALSE(VersionDocument::parse(bad)) << bad.toStdString();

    const QByteArray huge =
        "<Notice><noticeId>1</noticeId><message>" + QByteArray(10 << 20, 'm') + "</message></Notice>";
    const auto big = VersionDocument::parse(huge);
    ASSERT_TRUE(big && big->notice);
    EXPECT_EQ(big->notice->message.size(), 10 << 20);
}

TEST(VersionDocumentTest, VersionsCompareNumericallyAndWhatDoesNotParseNeverWins) {
    struct Row {
        const char* a;
        const char* b;
        bool greater;
    };
    for (const Row& row : {Row{"1.10", "1.9", true}, Row{"1.9", "1.10", false}, Row{"1.0.1", "1.0", true},
                           Row{"1.0", "1.0.0", false}, Row{"2", "1.99.99", true}, Row{"", "1.0", false},
                           Row{"1..2", "1.0", false}, Row{"1.-2", "1.0", false}, Row{"1.2a", "1.0", false},
                           Row{"99999999999999999999", "1.0", false}, Row{"999999999", "1.0", true},
                           Row{"2.0", "", false}, Row{"2.0", "abc", false}, Row{" 2.0", "1.0", false}})
        EXPECT_EQ(isVersionGreater(row.a, row.b), row.greater) << row.a << " > " << row.b;
}

// Own protocol 1.0.9: the third part does not matter; an older device is told to update to the current
// app; a newer one makes this program ask for its own update, and "Quit" ends it through the quit path.
TEST_F(VersionTest, ProtocolVersionsDecideWhoUpdatesAndAnIncompatibleDeviceGetsNoMode) {
    struct Row {
        const char* peer;
        QStringList deviceTexts;
        bool modeSet;
        bool alert;
    };
    for (const Row& row :
         {Row{"1.0.7", {"askReview:7:3"}, true, false}, Row{"1.0.10", {"askReview:7:3"}, true, false},
          Row{"0.9.9", {"forceUpdate:2.0"}, false, false}, Row{"", {"forceUpdate:2.0"}, false, false},
          Row{"1.1.0", {}, false, true}}) {
        SCOPED_TRACE(row.peer);
        alerts.shown.clear();
        alerts.answers = {Alerts::kFirstButtonReturn};
        launchWith(document());
        log.clear();
        auto peer = introducedDevice({{"protocolVersion", row.peer},
                                      {"hardwareString", "iPad7,3"},
                                      {"softwareString", "Other"},
                                      {"softwareVersion", "2.0"}});
        ASSERT_TRUE(answered(*peer));
        EXPECT_EQ(versionTexts(*peer), row.deviceTexts);
        EXPECT_EQ(log.contains("adjustInitialMode(iPad7,3)"), row.modeSet);
        ASSERT_EQ(alerts.shown.size(), row.alert ? 1u : 0u);
        EXPECT_EQ(versions->bNotSupportedVersion(), row.alert);
        if (row.alert) {
            EXPECT_EQ(alerts.shown[0].informativeText,
                      "The app on your tablet is newer than Zub Pad can work with. Please update Zub Pad.");
            EXPECT_EQ(alerts.shown[0].buttons, (QStringList{"OK", "Quit"}));
        }
    }
    alerts.answers = {Alerts::kFirstButtonReturn + 1};
    launch();
    // The alert may come and be answered while the introduction is still being waited for.
    auto peer = linkDevice(7);
    refuseLoopback();
    peer->sendIntroduction({{"protocolVersion", "1.1.0"}});
    EXPECT_TRUE(endedThroughQuit());
    EXPECT_TRUE(peer->texts().contains("appWillTerminate"));
}

// This program's own versions against the running 1.0.0: a current document asks nothing, a newer one
// offers the update ("Ok" starts the updater) and marks the menu item, a too-new one forces it ("Quit"
// ends the program through the quit path and offers nothing more).
TEST_F(VersionTest, TheDocumentOffersOrForcesThisProgramsUpdate) {
    struct Row {
        const char *min, *rec, *current;
        std::deque<int> answers;
        QStringList messages;
        int updates;
        const char* newVersion;
        bool forced;
        bool quits;
    };
    const QString offer = "A new version of Zub Pad is available";
    for (const Row& row :
         {Row{"1.0.0", "1.0.0", "1.0.0", {}, {}, 0, nullptr, false, false},
          Row{"0.9", "1.1.0", "1.2.0", {Alerts::kFirstButtonReturn}, {offer}, 1, "1.2.0", false, false},
          Row{"0.9", "1.1.0", "1.2.0", {Alerts::kFirstButtonReturn + 1}, {offer}, 0, "1.2.0", false, false},
          Row{"1.0.1", "1.0.0", "1.0.1", {Alerts::kFirstButtonReturn}, {offer}, 1, "1.0.1", true, false},
          Row{"2.0", "2.0", "2.0", {Alerts::kFirstButtonReturn + 1}, {offer}, 0, nullptr, true, true},
          Row{"1..2", "1.-2", "99999999999999999999", {}, {}, 0, nullptr, false, false}}) {
        SCOPED_TRACE(row.current);
        alerts.shown.clear();
        alerts.answers = row.answers;
        exits.clear();
        int updates = 0;
        QStringList retitled;
        versionURL = server.url("/version.xml");
        server.paths["/version.xml"] = {200, document({}, row.min, row.rec, row.current)};
        launch();
        versions->setParts(
            {.checkForUpdates = [&] { ++updates; },
             .retitleMenuItem = [&](const QString& from, const QString& to) { retitled << from << to; },
             .terminate = [this] { delegate->terminate(); }});
        ASSERT_TRUE(waitUntil([&] { return versions->checkMinVersionReturned(); }));
        spinEventLoop(20);
        QStringList shown;
        for (const Alert& alert : alerts.shown)
            shown << alert.messageText;
        EXPECT_EQ(shown, row.messages);
        EXPECT_EQ(updates, row.updates);
        EXPECT_EQ(versions->newVersion(), QString(row.newVersion));
        const QStringList marked{"Check for Updates...", "Check for Updates... (new version)"};
        EXPECT_EQ(retitled, row.newVersion ? marked : QStringList());
        EXPECT_EQ(versions->bNotSupportedVersion(), row.forced);
        if (row.forced) {
            EXPECT_TRUE(alerts.shown[0].informativeText.startsWith("This version of Zub Pad is no longer"));
            EXPECT_EQ(alerts.shown[0].buttons, (QStringList{"OK", "Quit"}));
        } else if (!alerts.shown.empty()) {
            EXPECT_EQ(alerts.shown[0].informativeText,
                      "Zub Pad 1.2.0 is ready to install. Would you like to update now?");
            EXPECT_EQ(alerts.shown[0].buttons, (QStringList{"OK", "Not Now"}));
        }
        if (row.quits) {
            EXPECT_TRUE(endedThroughQuit());
        } else {
            EXPECT_TRUE(exits.empty());
        }
    }
}

// Whatever goes wrong with the download, the program runs on as if there were no document, and the
// device is still checked for its protocol.
TEST_F(VersionTest, ADocumentThatCannotBeReadIsNoDocument) {
    server.paths["/moved"] = {302, {}, "/moved"};
    server.paths["/big"] = {200, document() + QByteArray(VersionChecker::kMaxDocumentSize, ' ')};
    server.paths["/broken"] = {200, document().chopped(20)};
    server.paths["/redirected"] = {301, {}, "/ok"};
    server.paths["/ok"] = {200, document({}, "1.0.0", "1.0.0", "1.0.7")};
    for (const char* path : {"/missing", "/moved", "/big", "/broken", "/redirected"}) {
        SCOPED_TRACE(path);
        versionURL = server.url(path);
        launch();
        ASSERT_TRUE(waitUntil([&] { return versions->checkMinVersionReturned(); }));
        const bool read = QByteArray(path) == "/redirected";
        EXPECT_EQ(versions->iOSMinVersion().isNull(), !read);
        EXPECT_EQ(versions->newVersion(), read ? "1.0.7" : "");
        auto peer = introducedDevice({{"protocolVersion", "0.9"}, {"softwareVersion", "1.0"}});
        ASSERT_TRUE(answered(*peer));
        EXPECT_EQ(versionTexts(*peer), QStringList{read ? "forceUpdate:2.0" : "forceUpdate:"});
    }
    EXPECT_TRUE(alerts.shown.empty());
}

// A server that does not answer holds up neither the start nor a device: the device gets its mode at
// once and its checks at the second retry, 18 s after its introduction, the document having come
// between the two retries.
TEST_F(VersionTest, ADeviceIntroducedBeforeTheDocumentIsCheckedAtTheSecondRetry) {
    server.paths["/version.xml"] = {200, document(), {}, true};
    versionURL = server.url("/version.xml");
    launch();
    EXPECT_NE(delegate->captureController(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return server.waiting() == 1; }));
    log.clear();
    auto peer = introducedDevice({{"protocolVersion", "1.0.6"},
                                  {"hardwareString", "iPad7,3"},
                                  {"softwareString", "Zub Pad"},
                                  {"softwareVersion", "1.5"}});
    ASSERT_TRUE(answered(*peer));
    EXPECT_TRUE(log.contains("adjustInitialMode(iPad7,3)"));
    clock.advance(VersionChecker::kFirstRetry);
    server.release();
    ASSERT_TRUE(waitUntil([&] { return versions->checkMinVersionReturned(); }));
    spinEventLoop(20);
    clock.advance(VersionChecker::kSecondRetry - 0.01);
    EXPECT_EQ(versionTexts(*peer), QStringList{});
    clock.advance(0.01);
    ASSERT_TRUE(waitUntil([&] { return versionTexts(*peer).size() == 2; }));
    // A 1.0.6 device is not asked for a review.
    EXPECT_EQ(versionTexts(*peer), (QStringList{"alertUpdate:2.0", "notice[6]:New brushes"}));
}

// The device's app against the document: the minimum forces (and nothing else is said), the
// recommended version suggests, the Mini app has versions of its own, and a notice reaches only our own
// app, only for targets "11" and "01", and only when newer than the last one passed on.
TEST_F(VersionTest, TheDevicesAppIsToldToUpdateAndGetsTheNoticeOnce) {
    struct Row {
        const char* app;
        const char* version;
        const char* protocol;
        Notice notice;
        qint64 lastNoticeId;
        QStringList texts;
        qint64 lastNoticeIdAfter;
    };
    const Notice linked{"6", "01", "https://zubpad.app/n/6"};
    for (const Row& row : {
             Row{"Zub Pad", "1.0", "1.0.7", {}, 0, {"forceUpdate:2.0", "askReview:7:3"}, 0},
             Row{"Zub Pad",
                 "1.5",
                 "1.0.6",
                 linked,
                 0,
                 {"alertUpdate:2.0", "notice[6]:New brushes|https://zubpad.app/n/6"},
                 6},
             Row{"Zub Pad", "2.0", "1.0.6", {}, 5, {"notice[6]:New brushes"}, 6},
             Row{"Zub Pad", "2.0", "1.0.6", {"5"}, 5, {}, 5},
             Row{"Zub Pad", "2.0", "1.0.6", {"6", "10"}, 0, {}, 0},
             Row{"Zub Pad", "2.0", "1.0.6", {"x6"}, 0, {}, 0},
             Row{"Other", "2.0", "1.0.6", {}, 0, {}, 0},
             Row{"Zub Pad Mini", "2.0", "1.0.6", {}, 0, {"forceUpdate:2.3"}, 0},
             Row{"Zub Pad Mini", "2.1", "1.0.6", {}, 0, {"alertUpdate:2.3", "notice[6]:New brushes"}, 6},
         }) {
        SCOPED_TRACE(QStringLiteral("%1 %2 %3").arg(row.app, row.version, row.notice.id).toStdString());
        defaults.setInteger(row.lastNoticeId, "lastNoticeId");
        launchWith(document(row.notice));
        auto peer = introducedDevice({{"protocolVersion", row.protocol},
                                      {"softwareString", row.app},
                                      {"softwareVersion", row.version}});
        ASSERT_TRUE(answered(*peer));
        EXPECT_EQ(versionTexts(*peer), row.texts);
        EXPECT_EQ(defaults.integerForKey("lastNoticeId"), row.lastNoticeIdAfter);
        // Introduced again, the device hears the rest, not the notice.
        const qsizetype heard = versionTexts(*peer).size();
        delegate->channelChanged(1);
        ASSERT_TRUE(answered(*peer));
        QStringList again = row.texts;
        again.removeIf([](const QString& text) { return text.startsWith("notice["); });
        EXPECT_EQ(versionTexts(*peer).mid(heard), again);
    }
    // Across starts: the notice passed on is not loaded again.
    defaults.setInteger(5, "lastNoticeId");
    for (const QStringList& expected : {QStringList{"notice[6]:New brushes"}, QStringList{}}) {
        launchWith(document());
        auto peer = introducedDevice(
            {{"protocolVersion", "1.0.6"}, {"softwareString", "Zub Pad"}, {"softwareVersion", "2.0"}});
        ASSERT_TRUE(answered(*peer));
        EXPECT_EQ(versionTexts(*peer), expected);
    }
    EXPECT_TRUE(versions->noticeMessage().isNull());
    EXPECT_EQ(versions->noticeId(), "6");
}
