#pragma once

#include "base/UserDefaults.h"
#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDesktop.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"
#include "shell/AppDelegate.h"
#include "shell/FakeSession.h"

#include <QRectF>
#include <gtest/gtest.h>

// Hooks of the later parts that write what they were asked into one shared log.
struct RecordingHooks final : VersionService,
                              AccessibilityPermission,
                              AutoUpdater,
                              LoginItemState,
                              FrontmostApplication,
                              TouchBarRelay,
                              ResolutionCatalogue,
                              DeviceInput,
                              DisplayModeReactions {
    explicit RecordingHooks(QStringList& log) : log(log) {}

    void startCheckMinVersion() override { log << QStringLiteral("checkMinVersion"); }
    void channelChanged(int32_t channel) override { log << QStringLiteral("channelChanged:%1").arg(channel); }
    bool assistiveAccessGranted(bool prompt) override {
        log << QStringLiteral("assistiveAccessGranted:%1").arg(int(prompt));
        return accessibilityGranted;
    }
    void setAutoUpdateConfig() override { log << QStringLiteral("setAutoUpdateConfig"); }
    void checkForUpdatesInBackground() override { log << QStringLiteral("checkForUpdatesInBackground"); }
    bool launchAtLogin() override { return loginItem; }
    void startFollowingFrontmostApplication() override { log << QStringLiteral("frontmostApplication"); }
    void showTouchBar() override { log << QStringLiteral("showTouchBar"); }
    void hideTouchBar() override { log << QStringLiteral("hideTouchBar"); }
    void stopTouchBar() override { log << QStringLiteral("stopTouchBar"); }
    bool hasTouchBarWindow() const override { return touchBarWindow; }
    void resizeEventFromDevice(QSizeF size) override {
        log << QStringLiteral("resizeEventFromDevice:%1x%2").arg(size.width()).arg(size.height());
    }
    int32_t adjustInitialMode(const QVariantMap& info) override {
        return info.value(QStringLiteral("mode")).toInt();
    }
    void handleTapEvent(QPointF, bool ignoreSingleTap) override {
        log << QStringLiteral("handleTapEvent:%1").arg(int(ignoreSingleTap));
    }
    void handleTwoFingerTapEvent(QPointF) override { log << QStringLiteral("handleTwoFingerTapEvent"); }
    void handleThreeFingerTapEvent(QPointF) override { log << QStringLiteral("handleThreeFingerTapEvent"); }
    void handleScrollEvent(const QVariantMap&) override { log << QStringLiteral("handleScrollEvent"); }
    void handleDragEvent(const QVariantMap&) override { log << QStringLiteral("handleDragEvent"); }
    void handlePencilEvent(const QVariantMap&) override { log << QStringLiteral("handlePencilEvent"); }
    void handleZoomEvent(const QVariantMap&) override { log << QStringLiteral("handleZoomEvent"); }
    void handleTwoFingerRotationEvent(const QVariantMap&) override {
        log << QStringLiteral("handleTwoFingerRotationEvent");
    }
    void handleTwoFingerPanEvent(const QVariantMap&) override {
        log << QStringLiteral("handleTwoFingerPanEvent");
    }
    void handleStylusStatusChanged(const QVariantMap&) override {
        log << QStringLiteral("handleStylusStatusChanged");
    }
    void handleKeyboardEvent(const QVariantMap&) override { log << QStringLiteral("handleKeyboardEvent"); }
    void handleVirtualKeyboardEvent(const QVariantMap&) override {
        log << QStringLiteral("handleVirtualKeyboardEvent");
    }
    void handleVirtualKeyboardSourceEvent(const QVariantMap&) override {
        log << QStringLiteral("handleVirtualKeyboardSourceEvent");
    }
    void handleHoverEvent(const QVariantMap&) override { log << QStringLiteral("handleHoverEvent"); }
    QPointF getRelativePoint(QPointF p) override {
        return streamedScreen.contains(p)
                   ? QPointF(p.x() / streamedScreen.width(), p.y() / streamedScreen.height())
                   : QPointF(-1, -1);
    }
    bool isInZubScreen(QPointF location) override { return streamedScreen.contains(location); }
    void handleModeChanged(const Notification& n) override {
        log << QStringLiteral("handleModeChanged:%1").arg(n.userInfo.value(QStringLiteral("mode")).toInt());
    }
    void handleUpdateMenu(const Notification&) override { log << QStringLiteral("handleUpdateMenu"); }

    ShellHooks all() {
        return ShellHooks{.versionService = this,
                          .accessibility = this,
                          .updater = this,
                          .loginItems = this,
                          .frontmostApplication = this,
                          .touchBar = this,
                          .resolutions = this,
                          .input = this,
                          .displayModeReactions = this};
    }

    QStringList& log;
    bool accessibilityGranted = true;
    bool loginItem = false;
    bool touchBarWindow = false;
    QRectF streamedScreen{0, 0, 1920, 1080};
};

class ShellTest : public ::testing::Test {
protected:
    ShellTest() : defaults(tempPath(QStringLiteral("defaults-%1/zubpad.plist").arg(++counter))) {}

    // A delegate wired to the fakes; `launch` runs the start-up sequence.
    AppDelegate& makeDelegate(bool launch = true, bool withHooks = true) {
        AppDelegate::Services services{
            defaults,
            workspace,
            events,
            power,
            permissions,
            alerts,
            [this] { return mouse; },
            [this] { return firstScreen; },
            [this](AppDelegate&) {
                log << QStringLiteral("makeCaptureController");
                auto made = std::make_unique<FakeSession>();
                session = made.get();
                return made;
            },
            [this](int status) { exits.push_back(status); },
        };
        delegate = std::make_unique<AppDelegate>(services, display, withHooks ? hooks.all() : ShellHooks{});
        if (launch) delegate->applicationDidFinishLaunching();
        return *delegate;
    }

    static inline int counter = 0;
    ManualClock clock;
    UserDefaults defaults;
    FakeWorkspace workspace;
    FakeSystemEvents events;
    FakePower power;
    FakePermissions permissions;
    FakeAlerts alerts;
    FakeDisplayServices displays;
    ZDVirtualScreenController display{displays};
    QStringList log;
    RecordingHooks hooks{log};
    QPointF mouse{100, 100};
    QSizeF firstScreen{1920, 1080};
    std::vector<int> exits;
    FakeSession* session = nullptr;
    std::unique_ptr<AppDelegate> delegate;
};
