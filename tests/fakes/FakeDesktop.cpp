#include "fakes/FakeDesktop.h"

#include <algorithm>

OptError FakeWorkspace::registerRunningApplication(const QString& bundleIdentifier) {
    registered.push_back(bundleIdentifier);
    const bool known = std::any_of(running.begin(), running.end(), [&](const RunningApplication& app) {
        return app.processIdentifier == pid && app.bundleIdentifier == bundleIdentifier;
    });
    if (!known) running.push_back(RunningApplication{pid, bundleIdentifier});
    return std::nullopt;
}

std::vector<RunningApplication>
FakeWorkspace::runningApplicationsWithBundleIdentifier(const QString& bundleIdentifier) {
    std::vector<RunningApplication> matching;
    std::copy_if(running.begin(), running.end(), std::back_inserter(matching),
                 [&](const RunningApplication& app) { return app.bundleIdentifier == bundleIdentifier; });
    return matching;
}

bool FakeWorkspace::forceTerminate(const RunningApplication& application) {
    terminated.push_back(application.processIdentifier);
    std::erase_if(running, [&](const RunningApplication& app) {
        return app.processIdentifier == application.processIdentifier;
    });
    return true;
}

bool FakeWorkspace::openURL(const QUrl& url) {
    openedURLs.push_back(url);
    return true;
}

void FakeSystemEvents::setDarkMode(bool value) {
    dark = value;
    center.post(kInterfaceThemeChangedNotification, this);
}

bool FakePower::watchDisplayPower(DisplayPowerHandler h) {
    handler = std::move(h);
    return true;
}

void FakePower::deliver(uint32_t message) const {
    if (handler) handler(message);
}

int FakeAlerts::runModal(const Alert& alert) {
    shown.push_back(alert);
    for (;;) {
        const int answer = answers.empty() ? kFirstButtonReturn : answers.front();
        if (!answers.empty()) answers.pop_front();
        if (answer == kHelp && alert.showHelp) {
            helpResults.push_back(alert.showHelp());
            continue;
        }
        return answer;
    }
}
