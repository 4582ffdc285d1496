#include "DisplayFixture.h"

namespace {

QVariantMap device(const char* hardware, double width, double height, int sizeIndex = 0) {
    return {{QStringLiteral("hardwareString"), QString::fromLatin1(hardware)},
            {QStringLiteral("sizeIndex"), sizeIndex},
            {QStringLiteral("viewSize"),
             QVariantMap{{QStringLiteral("Width"), width}, {QStringLiteral("Height"), height}}}};
}

class ResolutionTest : public DisplayTest {
protected:
    void SetUp() override { host.deviceInfo = device("iPad7,3", 1366, 1024); }

    // What adjustInitialMode decides for a device, as the introduction would present it.
    int32_t introduce(const QVariantMap& info) {
        host.deviceInfo = info;
        return resolutions.adjustInitialMode(info);
    }
};

TEST_F(ResolutionTest, InitialModeFollowsTheDeviceAndTheEncoder) {
    // An iPad Pro that reports no size index, with a hardware encoder: index 3, held to the list's 2.
    EXPECT_EQ(introduce(device("iPad7,3", 1366, 1024)), 812);
    EXPECT_EQ(resolutions.deviceCategory(), QStringLiteral("iPad"));
    EXPECT_EQ(resolutions.deviceKey(), QStringLiteral("iPadPro"));
    EXPECT_EQ(resolutions.sizeClass(), QStringLiteral("Landscape"));
    // A phone starts at 2, in Slide Over size classes too.
    EXPECT_EQ(introduce(device("iPhone10,3", 375, 812)), 422); // iPhone6Portrait2
    EXPECT_EQ(introduce(device("iPad7,3", 375, 1024)), 862);   // iPadProLandscapeCompact2
    // A device without high resolutions starts at 1.
    EXPECT_EQ(introduce(device("iPad2,5", 1024, 768)), 611);
    EXPECT_EQ(resolutions.deviceKey(), QStringLiteral("iPad2"));
    // A reported index is taken as it is, within the list's length.
    EXPECT_EQ(introduce(device("iPad7,3", 1366, 1024, 1)), 811);
    EXPECT_EQ(introduce(device("iPad7,3", 1366, 1024, 3)), 812);
    // A software encoder starts every device that reports nothing at 1.
    host.hardware = false;
    EXPECT_EQ(introduce(device("iPad7,3", 1366, 1024)), 811);
    EXPECT_EQ(introduce(device("iPhone10,3", 812, 375)), 411);
    // The device's own index is remembered from its first report on.
    EXPECT_EQ(resolutions.prevSizeIndexFull(), 1);

    // The introduction comes from the device: wrong types and out-of-range values lead to no mode or
    // a listed one, never to a crash or an index outside the table; without a table, or in extended
    // mode, every mode is 0.
    host.hardware = true;
    const QVariantMap wrongTypes{{QStringLiteral("hardwareString"), QVariantList{1, 2}},
                                 {QStringLiteral("sizeIndex"), QStringLiteral("many")},
                                 {QStringLiteral("viewSize"), QStringLiteral("1366x1024")}};
    EXPECT_EQ(introduce(wrongTypes), 722); // an iPad, "Portrait" from a 0 x 0 view
    QVariantMap info = device("iPad7,3", 1366, 1024);
    for (const QVariant& index :
         {QVariant(-1), QVariant(-2147483647 - 1), QVariant(9), QVariant(1LL << 40)}) {
        info.insert(QStringLiteral("sizeIndex"), index);
        const int32_t mode = introduce(info);
        EXPECT_TRUE(mode == 0 || mode == 811 || mode == 812) << index.toLongLong() << " gave " << mode;
    }
    controller.setModeTable({});
    EXPECT_EQ(introduce(device("iPad7,3", 1366, 1024)), 0);
    controller.setModeTable({{QStringLiteral("iPadProLandscape1"), 811}});
    controller.setBCloneDisplay(false);
    EXPECT_EQ(introduce(device("iPad7,3", 1366, 1024, 1)), 0);
    EXPECT_TRUE(resolutions.resolutionMenus().empty());
}

TEST_F(ResolutionTest, RetinaMirroringFollowsWhatTheDeviceCopesWith) {
    const QString key = QStringLiteral("cloneNoRetina");
    introduce(device("iPad7,3", 1366, 1024));
    EXPECT_FALSE(defaults.containsKey(key)); // already as it should be: nothing written
    introduce(device("iPad3,4", 1024, 768));
    EXPECT_TRUE(defaults.boolForKey(key));
    introduce(device("iPad7,3", 1366, 1024, 2)); // a reported index leaves the setting alone
    EXPECT_TRUE(defaults.boolForKey(key));
    introduce(device("iPad7,3", 1366, 1024));
    ASSERT_TRUE(defaults.containsKey(key));
    EXPECT_FALSE(defaults.boolForKey(key));
}

TEST_F(ResolutionTest, TheListOffersTheMirrorTargetInPointsAndInRetinaPixels) {
    EXPECT_EQ(resolutions.updateResolutionMenu(QStringLiteral("Landscape")), 2);
    EXPECT_EQ(resolutions.resolutionMenus(),
              (std::vector<ResolutionEntry>{{QStringLiteral("1366 x 1024"), 1, true},
                                            {QStringLiteral("1366 x 1024 (Retina)"), 2, true}}));
    controller.setCloneDisplayID(2);
    displays.setBounds(2, {1366, 0, 3000.7, 2000.2});
    resolutions.updateResolutionForCloneDisplay();
    EXPECT_EQ(resolutions.resolutionMenus()[1],
              (ResolutionEntry{QStringLiteral("3000 x 2000 (Retina)"), 2, true}));
    host.deviceInfo = device("iPad2,5", 1024, 768);
    resolutions.updateResolutionForCloneDisplay();
    EXPECT_TRUE(resolutions.resolutionMenus()[0].enabled);
    EXPECT_FALSE(resolutions.resolutionMenus()[1].enabled);
    // Past 2^31 pixels an entry cannot be offered; the products are not cut to 32 bits on the way.
    host.deviceInfo = device("iPad7,3", 1366, 1024);
    displays.setBounds(2, {1366, 0, 30000, 30000});
    resolutions.updateResolutionForCloneDisplay();
    EXPECT_TRUE(resolutions.resolutionMenus()[0].enabled);
    EXPECT_FALSE(resolutions.resolutionMenus()[1].enabled);
}

TEST_F(ResolutionTest, ItemsAreTickedByTheRetinaSettingAndGreyedByLoad) {
    const std::vector<std::pair<QString, int32_t>> items{
        {"1366 x 1024", 1}, {"1366 x 1024 (Retina)", 2}, {"DisplaySettings...", 0}};
    using State = std::optional<ResolutionItemState>;
    EXPECT_EQ(resolutions.updateResolutionMenuForCloneDisplay(items),
              (std::vector<State>{ResolutionItemState{false, false}, ResolutionItemState{true, false}, {}}));
    defaults.setBool(true, QStringLiteral("zubPadNoRetina"));
    EXPECT_EQ(resolutions.updateResolutionMenuForCloneDisplay(items),
              (std::vector<State>{ResolutionItemState{true, false}, ResolutionItemState{false, false}, {}}));

    const auto heavy = [this](const char* title, int tag) {
        return resolutions.resolutionItemState(QString::fromLatin1(title), tag).heavy;
    };
    // A capable device with a hardware encoder handles everything.
    EXPECT_FALSE(heavy("2732 x 2048 (Retina)", 2));
    // An early Retina iPad from 2048 x 1536 pixels on.
    host.deviceInfo = device("iPad3,1", 1024, 768);
    EXPECT_TRUE(heavy("1024 x 768 (Retina)", 2));
    EXPECT_FALSE(heavy("1024 x 767 (Retina)", 2));
    // A Retina label counts its real pixels once: 1600 x 1200 is below the line.
    EXPECT_FALSE(heavy("800 x 600 (Retina)", 2));
    // Software encoding from more than 1296000 pixels on, for any device.
    host.hardware = false;
    host.deviceInfo = device("iPad7,3", 1366, 1024);
    EXPECT_TRUE(heavy("1440 x 901", 1));
    EXPECT_FALSE(heavy("1440 x 900", 1));
    EXPECT_FALSE(heavy("640 x 480 (Retina)", 2));
}

// Advice shown from the main queue, never from within the call, and not at all once the controller
// that scheduled it is gone.
TEST_F(ResolutionTest, AdviceAgainstVeryLargeStreams) {
    displays.setBounds(1, {0, 0, 2560, 1440});
    EXPECT_TRUE(resolutions.showZubPadOrCloneHiResAlert(false));
    {
        ResolutionController shortLived(controller, host, defaults, alerts, arrangement);
        EXPECT_TRUE(shortLived.showZubPadOrCloneHiResAlert(true));
    }
    spinEventLoop(50);
    EXPECT_TRUE(alerts.shown.empty());
    defaults.setBool(true, QStringLiteral("zubPadNoRetina"));
    EXPECT_FALSE(resolutions.showZubPadOrCloneHiResAlert(true));
    displays.setBounds(1, {0, 0, 4097, 2304}); // both sides must be over
    EXPECT_FALSE(resolutions.showZubPadOrCloneHiResAlert(false));

    defaults.setBool(false, QStringLiteral("zubPadNoRetina"));
    displays.setBounds(1, {0, 0, 2560, 1440});
    alerts.answers = {Alerts::kFirstButtonReturn + 1}; // "NotNow"
    EXPECT_TRUE(resolutions.showZubPadOrCloneHiResAlert(true));
    EXPECT_TRUE(alerts.shown.empty());
    ASSERT_TRUE(waitUntil([&] { return !alerts.shown.empty(); }));
    const Alert& alert = alerts.shown[0];
    EXPECT_EQ(alert.style, Alert::Style::Warning);
    EXPECT_EQ(alert.messageText, QStringLiteral("Zub Pad"));
    EXPECT_EQ(alert.informativeText, QStringLiteral("Zub Pad streams a very large picture"));
    EXPECT_EQ(alert.buttons, QStringList({"Ok", "NotNow"}));
}

// A resolution chosen is stored and changes the mode; a new frame rate restarts the stream on the display
// it shows.
TEST_F(ResolutionTest, TheUsersResolutionAndFrameRateTakeEffectAndAreStored) {
    std::vector<bool> framebuffer;
    QObject::connect(&controller, &ZDVirtualScreenController::isFramebufferActiveChanged,
                     [&](bool active) { framebuffer.push_back(active); });
    resolutions.changeResolutionSelected(1);
    EXPECT_EQ(framebuffer, std::vector<bool>{false});
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("zubPadNoRetina")));
    resolutions.changeResolutionSelected(2);
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("zubPadNoRetina")));
    EXPECT_EQ(host.calls, QStringList({"mode:1", "mode:2"}));

    host.calls.clear();
    resolutions.setFrameRate(30); // the rate in use: nothing changes, nothing is sent
    EXPECT_TRUE(host.calls.isEmpty());
    EXPECT_FALSE(defaults.containsKey(QStringLiteral("FPS")));

    host.connected = false; // the capture keeps its rate and the stored one stays
    resolutions.setFrameRate(60);
    EXPECT_EQ(defaults.doubleForKey(QStringLiteral("FPS")), 30.0);
    EXPECT_EQ(host.calls, QStringList({"send:FPS:60"}));

    // The mirror target, not the primary display it was re-targeted away from; in extended mode display
    // 0, which keeps the stream stopped.
    host.connected = true;
    host.calls.clear();
    controller.setCloneDisplayID(2);
    resolutions.setFrameRate(60);
    EXPECT_EQ(host.calls, QStringList({"send:waitASec", "fps:60", "reset:2", "send:FPS:60"}));
    EXPECT_EQ(defaults.doubleForKey(QStringLiteral("FPS")), 60.0);
    host.calls.clear();
    controller.setBCloneDisplay(false);
    resolutions.setFrameRate(30);
    EXPECT_EQ(host.calls, QStringList({"send:waitASec", "fps:30", "reset:0", "send:FPS:30"}));
}

TEST_F(ResolutionTest, AResizeFromTheDeviceUpdatesItsInformation) {
    introduce(device("iPad7,3", 1366, 1024));
    controller.setModeTable({{QStringLiteral("iPadProLandscape2"), -1}}); // the controller's mode, -1
    resolutions.resizeEventFromDevice({981, 1024});
    const QVariantMap info = host.deviceInfo;
    EXPECT_EQ(info.value(QStringLiteral("hardwareString")), QStringLiteral("iPad7,3"));
    const QVariantMap size = info.value(QStringLiteral("viewSize")).toMap();
    EXPECT_EQ(size.value(QStringLiteral("Width")).toDouble(), 981.0);
    EXPECT_EQ(size.value(QStringLiteral("Height")).toDouble(), 1024.0);
    EXPECT_EQ(info.value(QStringLiteral("sizeIndex")).toInt(), 2);

    controller.setBCloneDisplay(false);
    host.calls.clear();
    resolutions.resizeEventFromDevice({375, 1024});
    EXPECT_TRUE(host.calls.isEmpty());
}

} // namespace
