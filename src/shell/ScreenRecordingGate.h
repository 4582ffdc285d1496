#pragma once

#include "base/Clock.h"
#include "base/Lifetime.h"

#include <functional>
#include <memory>
#include <optional>

class Alerts;
class Permissions;
class UserDefaults;
class Workspace;

// The screen-recording permission test at start-up and the alert that asks for the permission.
class ScreenRecordingGate {
public:
    // `exitProcess` ends the process with the given status (the alert's "Quit").
    ScreenRecordingGate(Permissions& permissions, Alerts& alerts, UserDefaults& defaults,
                        Workspace& workspace, std::function<void(int)> exitProcess);
    // A scheduled alert does not outlive the gate.
    ~ScreenRecordingGate();

    // Tests the permission and remembers the answer (`_bScreenRecordingGranted`). Without it the
    // alert is scheduled: at once when it was shown at an earlier launch ("srAlertShown" YES),
    // otherwise 4 seconds from now, and "srAlertShown" is stored as YES when it was absent.
    bool checkAtLaunch();
    bool bScreenRecordingGranted() const { return granted_; }

    bool screenRecordingGranted();
    // Asks for the permission; "Quit" ends the process with status 0, "Open System Preferences"
    // opens the settings page and the program goes on without capture. Hops to the main thread.
    void alertForScreenRecording();
    // The alert's help button: opens the help page on screen recording; whether it could.
    bool alertShowHelp();

    static constexpr double kFirstAlertDelay = 4.0;

private:
    Permissions& permissions_;
    Alerts& alerts_;
    UserDefaults& defaults_;
    Workspace& workspace_;
    std::function<void(int)> exitProcess_;
    bool granted_ = false;
    std::optional<Clock::TimerId> alertTimer_;
    Lifetime<ScreenRecordingGate> lifetime_{this};
};
