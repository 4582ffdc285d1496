#pragma once

class DisplayHost;
class QString;
class UserDefaults;
class ZDVirtualScreenController;

// Mirror mode and extended mode. The stream always shows an existing display (mirror mode); extended
// mode, which would show a display of the device's own, has none here, so entering it stops the stream
// until the next start. Main thread only.
class DisplayArrangement {
public:
    DisplayArrangement(ZDVirtualScreenController& displayController, DisplayHost& host,
                       UserDefaults& defaults);

    // Switches to extended mode; called by the shell when, in mirror mode, no display is left. The menu
    // offers no item for it (there is no display of the device's own to arrange).
    void extendDisplaySelected();
    // Restarts the stream in mirror mode, through the controller's restart notification.
    void cloneDisplay();
    // Stops the stream.
    void uncloneDisplay();
    // Opens the desktop's display settings: the first of the known settings tools that is installed.
    // False when none is.
    bool launchDisplaySettings();

    // The shell command launchDisplaySettings runs.
    static const QString& displaySettingsCommand();

private:
    ZDVirtualScreenController& displayController_;
    DisplayHost& host_;
    UserDefaults& defaults_;
};
