#pragma once

#include "../session/SessionFakes.h"
#include "base/UserDefaults.h"
#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDesktop.h"
#include "fakes/FakeInput.h"
#include "fakes/RecordingEventPoster.h"
#include "fakes/TestSupport.h"
#include "shell/AppDelegate.h"
#include "shell/DisplayModeHandler.h"
#include "shell/VersionChecker.h"

#include <QRectF>
#include <gtest/gtest.h>
#include <mutex>

// The later parts the shell calls, writing what they were asked into one shared log.
struct RecordingHooks final : AccessibilityPermission, AutoUpdater, LoginItemState, TouchBarRelay,
                               Uninstaller {
    explicit RecordingHooks(QStringList& log) : log(log) {}

    bool assistiveAccessGranted(bool prompt) override {
        log << QStringLiteral("assistiveAccessGranted:%1").arg(int(prompt));
        return accessibilityGranted;
    }
    void setAutoUpdateConfig() override { log << "setAutoUpdateConfig"; }
    void checkForUpdatesInBackground() override { log << "checkForUpdatesInBackground"; }
    void checkForUpdates() override { log << "checkForUpdates"; }
    QString newVersion() const override { return {}; }
    bool launchAtLogin() override { return loginItem; }
    // Called off the main thread.
    void setLaunchAtLogin(bool enabled) override {
        std::lock_guard lock(mutex);
        log << QStringLiteral("setLaunchAtLogin:%1").arg(int(enabled));
    }
    void uninstall() override { log << "uninstall"; }
    void showTouchBar() override { log << "showTouchBar"; }
    void hideTouchBar() override { log << "hideTouchBar"; }
    void stopTouchBar() override { log << "stopTouchBar"; }
    bool hasTouchBarWindow() const override { return touchBarWindow; }
    bool isOSSupportTouchBar() const override { return true; }
    bool isTapInTouchBar(QPointF) override { return tapInTouchBar; }

    QStringList& log;
    std::mutex mutex;
    bool accessibilityGranted = true;
    bool loginItem = false;
    bool touchBarWindow = false;
    bool tapInTouchBar = false;
};

// A shell on fake desktop services and the real session controller of SessionRig, with the display
// controller on two displays: 4 at the origin and 9 to its right. The later parts, and the display
// side's parts of the mode reactions, write into `log`.
class ShellTest : public ::testing::Test, public SessionRig {
protected:
    ShellTest() : defaults(tempPath(QStringLiteral("defaults-%1/zubpad.plist").arg(++counter))) {
        displays.addDisplay({.id = 4, .bounds = QRectF(0, 0, 1366, 1024), .name = QStringLiteral("Left")});
        displays.addDisplay(
            {.id = 9, .bounds = QRectF(1366, 0, 1920, 1080), .name = QStringLiteral("Right")});
        display.setModeTable({{QStringLiteral("iPadProLandscapeRegular2"), 17}});
        poster.desktopHeight = 1080;
    }

    // A shell wired to the fakes, after its start-up sequence; without the hooks it has no input either.
    AppDelegate& launch(bool withHooks = true) {
        delegate.reset();
        versions = std::make_unique<VersionChecker>(defaults, alerts, versionURL);
        AppDelegate::Services services{defaults,
                                       workspace,
                                       events,
                                       power,
                                       permissions,
                                       alerts,
                                       [this] { return mouse; },
                                       [this](AppDelegate& shell) {
                                           log << "makeCaptureController";
                                           auto made = make();
                                           made->setDelegate(&shell);
                                           made->setupLink();
                                           return made;
                                       },
                                       [this](int status) { exits.push_back(status); }};
        if (withHooks) {
            services.eventPoster = &poster;
            services.eventMonitor = &eventMonitor;
            services.inputSources = &inputSources;
        }
        ShellHooks hooks{.versionService = versions.get(),
                         .accessibility = &recorded,
                         .updater = &recorded,
                         .loginItems = &recorded,
                         .uninstaller = &recorded,
                         .touchBar = &recorded,
                         .displayModes = &modes};
        delegate = std::make_unique<AppDelegate>(services, display, withHooks ? hooks : ShellHooks{});
        delegate->applicationDidFinishLaunching();
        return *delegate;
    }
    // A device linked and introduced to the shell's controller.
    std::unique_ptr<TestPeer> introducedDevice(const QVariantMap& intro = {{"protocolVersion", "1.0.10"},
                                                                           {"hardwareString", "iPad7,3"}}) {
        auto peer = linkDevice(7);
        refuseLoopback();
        introduce(*peer, intro);
        return peer;
    }

    static inline int counter = 0;
    UserDefaults defaults;
    FakeWorkspace workspace;
    FakeSystemEvents events;
    FakePower power;
    FakePermissions permissions;
    FakeAlerts alerts;
    ZDVirtualScreenController display{displays};
    RecordingEventPoster poster;
    FakeEventMonitor eventMonitor;
    FakeInputSources inputSources;
    QStringList log;
    RecordingHooks recorded{log};
    bool touchBar = false;
    DisplayModeHandler modes{
        display,
        {.adjustInitialMode =
             [this](const QVariantMap& info) {
                 log << "adjustInitialMode(" + info.value("hardwareString").toString() + ")";
                 return 17;
             },
         .showZubPadOrCloneHiResAlert =
             [this](bool show) {
                 log << QStringLiteral("hiResAlert(%1)").arg(show);
                 return false;
             },
         .cloneDisplay = [this] { log << "cloneDisplay()"; },
         .extendDisplaySelected = [this] { log << "extendDisplaySelected()"; },
         .updateMenu = [this](bool on) { log << QStringLiteral("updateMenu(%1)").arg(on); },
         .touchBarEnabled = [this] { return touchBar; },
         .showTouchBar = [this] { log << "showTouchBar"; }}};
    QPointF mouse{100, 100};
    std::vector<int> exits;
    // Where the version document is read from: none by default.
    QUrl versionURL;
    std::unique_ptr<VersionChecker> versions;
    std::unique_ptr<AppDelegate> delegate;
};
