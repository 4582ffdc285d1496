#pragma once

#include "base/Lifetime.h"
#include "shell/ShellHooks.h"

#include <QUrl>
#include <functional>
#include <optional>

class Alerts;
class Permissions;
class Workspace;

// The accessibility permission where the desktop asks for none: synthetic input is allowed when it
// really reaches the desktop. What a user may still have to grant is the pen's pressure (write access
// to /dev/uinput): asked with an alert, the program explains the udev rule and offers the guide,
// at most once a session and never in the middle of a stroke. Main thread only.
class InputPermission final : public AccessibilityPermission {
public:
    // While a stroke is being drawn the alert waits, looking again this often (seconds).
    static constexpr double kDrawingRecheck = 1.0;

    InputPermission(Permissions& permissions, Alerts& alerts, Workspace& workspace, QUrl pressureHelp);
    // Whether the user is drawing now; empty: never.
    void setDrawing(std::function<bool()> drawing) { drawing_ = std::move(drawing); }

    // Whether synthetic input works; with `showAlert`, the pressure alert (asynchronously) when the
    // pen has no pressure. The alert does not change the answer.
    bool assistiveAccessGranted(bool showAlert) override;

    // When the alert was closed, by the shared Clock; nothing before.
    std::optional<double> alertCloseTime() const { return alertCloseTime_; }

private:
    void showPressureAlertWhenIdle();

    Permissions& permissions_;
    Alerts& alerts_;
    Workspace& workspace_;
    QUrl pressureHelp_;
    std::function<bool()> drawing_;
    bool alertScheduled_ = false;
    std::optional<double> alertCloseTime_;
    Lifetime<InputPermission> lifetime_{this};
};
