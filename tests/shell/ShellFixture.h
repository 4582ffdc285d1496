#pragma once

#include "base/UserDefaults.h"
#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDesktop.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeInput.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingEventPoster.h"
#include "fakes/TestSupport.h"
#include "shell/AppDelegate.h"
#include "shell/FakeSession.h"

#include <QRectF>
#include <gtest/gtest.h>

// The later parts the shell calls, writing what they were asked into one shared log.
struct RecordingHooks final : VersionService,
                              AccessibilityPermission,
                              AutoUpdater,
                              LoginItemState,
                              TouchBarRelay,
                              DisplayModeReactions {
    explicit RecordingHooks(QStringList& log) : log(log) {}

    void startCheckMinVersion() override { log << "checkMinVersion"; }
    void channelChanged(int32_t channel) override { log << QStringLiteral("channelChanged:%1").arg(channel); }
    bool assistiveAccessGranted(bool prompt) override {
        log << QStringLiteral("assistiveAccessGranted:%1").arg(int(prompt));
        return accessibilityGranted;
    }
    void setAutoUpdateConfig() override { log << "setAutoUpdateConfig"; }
    void checkForUpdatesInBackground() override { log << "checkForUpdatesInBackground"; }
    bool launchAtLogin() override { return loginItem; }
    void showTouchBar() override { log << "showTouchBar"; }
    void hideTouchBar() override { log << "hideTouchBar"; }
    void stopTouchBar() override { log << "stopTouchBar"; }
    bool hasTouchBarWindow() const override { return touchBarWindow; }
    void handleModeChanged(const Notification& n) override {
        log << QStringLiteral("handleModeChanged:%1").arg(n.userInfo.value("mode").toInt());
    }
    void handleUpdateMenu(const Notification&) override { log << "handleUpdateMenu"; }

    ShellHooks all() {
        return ShellHooks{.versionService = this,
                          .accessibility = this,
                          .updater = this,
                          .loginItems = this,
                          .touchBar = this,
                          .displayModeReactions = this};
    }

    QStringList& log;
    bool accessibilityGranted = true;
    bool loginItem = false;
    bool touchBarWindow = false;
};

class ShellTest : public ::testing::Test {
protected:
    ShellTest() : defaults(tempPath(QStringLiteral("defaults-%1/zubpad.plist").arg(++counter))) {
        displays.addDisplay({.id = 1, .bounds = QRectF(0, 0, 1920, 1080), .name = QStringLiteral("Main")});
        poster.desktopHeight = 1080;
    }

    // A shell wired to the fakes, after its start-up sequence; without the hooks it has no input either.
    AppDelegate& launch(bool withHooks = true) {
        AppDelegate::Services services{defaults,
                                       workspace,
                                       events,
                                       power,
                                       permissions,
                                       alerts,
                                       [this] { return mouse; },
                                       [this](AppDelegate&) {
                                           auto made = std::make_unique<FakeSession>();
                                           session = made.get();
                                           log << "makeCaptureController";
                                           return made;
                                       },
                                       [this](int status) { exits.push_back(status); }};
        if (withHooks) {
            services.eventPoster = &poster;
            services.eventMonitor = &eventMonitor;
            services.inputSources = &inputSources;
        }
        delegate = std::make_unique<AppDelegate>(services, display, withHooks ? hooks.all() : ShellHooks{});
        delegate->applicationDidFinishLaunching();
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
    RecordingEventPoster poster;
    FakeEventMonitor eventMonitor;
    FakeInputSources inputSources;
    QStringList log;
    RecordingHooks hooks{log};
    QPointF mouse{100, 100};
    std::vector<int> exits;
    FakeSession* session = nullptr;
    std::unique_ptr<AppDelegate> delegate;
};
