#pragma once

#include "platform/Alerts.h"
#include "platform/Permissions.h"
#include "platform/Power.h"
#include "platform/SystemEvents.h"
#include "platform/Workspace.h"

#include <algorithm>
#include <deque>
#include <vector>

// In-memory desktop services that record what was asked of them and answer as the test says.

class FakeWorkspace final : public Workspace {
public:
    qint64 pid = 4242;
    // What the system reports as running, in launch order.
    std::vector<RunningApplication> running;
    std::vector<QString> registered;
    std::vector<qint64> terminated;
    std::vector<QUrl> openedURLs;
    FrontmostApplicationInfo frontmost;
    std::function<void()> frontmostChanged;
    QStringList preferencesRoots;

    OptError registerRunningApplication(const QString& bundleIdentifier) override {
        registered.push_back(bundleIdentifier);
        if (std::none_of(running.begin(), running.end(), [&](const RunningApplication& app) {
                return app.processIdentifier == pid && app.bundleIdentifier == bundleIdentifier;
            }))
            running.push_back(RunningApplication{pid, bundleIdentifier});
        return std::nullopt;
    }
    std::vector<RunningApplication>
    runningApplicationsWithBundleIdentifier(const QString& bundleIdentifier) override {
        std::vector<RunningApplication> matching;
        std::copy_if(running.begin(), running.end(), std::back_inserter(matching),
                     [&](const RunningApplication& app) { return app.bundleIdentifier == bundleIdentifier; });
        return matching;
    }
    qint64 currentProcessIdentifier() const override { return pid; }
    bool forceTerminate(const RunningApplication& application) override {
        terminated.push_back(application.processIdentifier);
        std::erase_if(running, [&](const RunningApplication& app) {
            return app.processIdentifier == application.processIdentifier;
        });
        return true;
    }
    bool openURL(const QUrl& url) override {
        openedURLs.push_back(url);
        return true;
    }
    FrontmostApplicationInfo frontmostApplication() override { return frontmost; }
    void setFrontmostApplicationChangedHandler(std::function<void()> handler) override {
        frontmostChanged = std::move(handler);
    }
    QStringList applicationPreferencesRoots() const override { return preferencesRoots; }
    // Another application comes to the front, as the desktop would tell.
    void activate(const FrontmostApplicationInfo& application) {
        frontmost = application;
        if (frontmostChanged) frontmostChanged();
    }
};

class FakeSystemEvents final : public SystemEvents {
public:
    NotificationCenter& distributedCenter() override { return center; }
    bool isDarkMode() const override { return dark; }
    // Changes the appearance and posts the notice, as a desktop would.
    void setDarkMode(bool value) {
        dark = value;
        center.post(kInterfaceThemeChangedNotification, this);
    }
    void post(const QString& name) { center.post(name, this); }

    NotificationCenter center;
    bool dark = false;
};

class FakePower final : public Power {
public:
    bool watchDisplayPower(DisplayPowerHandler h) override {
        handler = std::move(h);
        return true;
    }
    void stopWatchingDisplayPower() override { handler = nullptr; }
    bool preventDisplaySleep(bool, const QString&) override { return true; }
    // Delivers a display power message as the system would.
    void deliver(uint32_t message) const {
        if (handler) handler(message);
    }

    DisplayPowerHandler handler;
};

class FakePermissions final : public Permissions {
public:
    bool screenRecordingGranted() override { return granted; }
    bool openScreenRecordingSettings() override {
        ++settingsOpened;
        return true;
    }

    bool syntheticInputGranted() override { return inputGranted; }
    bool penPressureGranted() override { return pressureGranted; }

    bool granted = true;
    bool inputGranted = true;
    bool pressureGranted = true;
    int settingsOpened = 0;
};

class FakeAlerts final : public Alerts {
public:
    // Answers in order; the first button when the script has run out. kHelp presses the help button
    // (the alert then stays open and takes the next answer).
    static constexpr int kHelp = -1;
    std::deque<int> answers;
    std::vector<Alert> shown;
    std::vector<bool> helpResults;

    int runModal(const Alert& alert) override {
        shown.push_back(alert);
        for (;;) {
            const int answer = answers.empty() ? kFirstButtonReturn : answers.front();
            if (!answers.empty()) answers.pop_front();
            if (answer != kHelp || !alert.showHelp) return answer;
            helpResults.push_back(alert.showHelp());
        }
    }
};
