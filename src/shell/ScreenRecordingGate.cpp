#include "shell/ScreenRecordingGate.h"

#include "base/MainQueue.h"
#include "base/UserDefaults.h"
#include "platform/Alerts.h"
#include "platform/Permissions.h"
#include "platform/Workspace.h"
#include "shell/Localization.h"
#include "shell/Settings.h"

namespace {
const QUrl kScreenRecordingHelpURL(QStringLiteral("https://zubpad.app/help/screen-recording"));
} // namespace

ScreenRecordingGate::ScreenRecordingGate(Permissions& permissions, Alerts& alerts, UserDefaults& defaults,
                                         Workspace& workspace, std::function<void(int)> exitProcess)
    : permissions_(permissions), alerts_(alerts), defaults_(defaults), workspace_(workspace),
      exitProcess_(std::move(exitProcess)) {}

ScreenRecordingGate::~ScreenRecordingGate() {
    if (alertTimer_) Clock::shared().cancel(*alertTimer_);
}

bool ScreenRecordingGate::screenRecordingGranted() {
    return permissions_.screenRecordingGranted();
}

bool ScreenRecordingGate::checkAtLaunch() {
    granted_ = screenRecordingGranted();
    if (granted_) return true;
    if (defaults_.boolForKey(DefaultsKey::srAlertShown)) {
        mainQueue().async([self = lifetime_.guard()] {
            if (self) self->alertForScreenRecording();
        });
        return false;
    }
    // First time: give the menu a moment to appear before the question. A stored NO stays as it is.
    if (!defaults_.containsKey(DefaultsKey::srAlertShown)) defaults_.setBool(true, DefaultsKey::srAlertShown);
    alertTimer_ = mainQueue().after(kFirstAlertDelay, [this] {
        alertTimer_.reset();
        alertForScreenRecording();
    });
    return false;
}

void ScreenRecordingGate::alertForScreenRecording() {
    if (!mainQueue().isCurrent()) {
        mainQueue().sync([this] { alertForScreenRecording(); });
        return;
    }
    Alert alert;
    alert.style = Alert::Style::Warning;
    alert.messageText = localizedString(QStringLiteral("AskScreenRecordingTitle"));
    alert.informativeText = localizedString(QStringLiteral("AskScreenRecording"));
    alert.buttons = {localizedString(QStringLiteral("Open System Preferences")),
                     localizedString(QStringLiteral("Quit"))};
    alert.showHelp = [this] { return alertShowHelp(); };
    if (alerts_.runModal(alert) != Alerts::kFirstButtonReturn) {
        exitProcess_(0);
        return;
    }
    // The permission takes effect at the next start; until then the program runs without capture.
    permissions_.openScreenRecordingSettings();
}

bool ScreenRecordingGate::alertShowHelp() {
    return workspace_.openURL(kScreenRecordingHelpURL);
}
