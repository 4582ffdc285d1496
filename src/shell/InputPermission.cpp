#include "shell/InputPermission.h"

#include "base/Clock.h"
#include "base/MainQueue.h"
#include "platform/Alerts.h"
#include "platform/Permissions.h"
#include "platform/Workspace.h"
#include "shell/Localization.h"

InputPermission::InputPermission(Permissions& permissions, Alerts& alerts, Workspace& workspace,
                                 QUrl pressureHelp)
    : permissions_(permissions), alerts_(alerts), workspace_(workspace),
      pressureHelp_(std::move(pressureHelp)) {}

bool InputPermission::assistiveAccessGranted(bool showAlert) {
    const bool granted = permissions_.syntheticInputGranted();
    if (showAlert && !alertScheduled_ && !permissions_.penPressureGranted()) {
        alertScheduled_ = true;
        mainQueue().async([self = lifetime_.guard()] {
            if (self) self->showPressureAlertWhenIdle();
        });
    }
    return granted;
}

void InputPermission::showPressureAlertWhenIdle() {
    // A modal alert in the middle of a stroke would leave its button down: it waits for the pen to lift.
    if (drawing_ && drawing_()) {
        mainQueue().after(kDrawingRecheck, [self = lifetime_.guard()] {
            if (self) self->showPressureAlertWhenIdle();
        });
        return;
    }
    const Alert alert{.style = Alert::Style::Warning,
                      .messageText = localizedString(QStringLiteral("ZubPadAccessibilityTitle")),
                      .informativeText = localizedString(QStringLiteral("ZubPadAccessibilityBody")),
                      .buttons = {localizedString(QStringLiteral("OpenPressureGuide")),
                                  localizedString(QStringLiteral("NotNow"))}};
    const int answer = alerts_.runModal(alert);
    alertCloseTime_ = Clock::shared().uptime();
    if (answer == Alerts::kFirstButtonReturn && pressureHelp_.isValid()) workspace_.openURL(pressureHelp_);
}
