#include "display/DisplayArrangement.h"

#include "base/UserDefaults.h"
#include "display/DisplayHost.h"
#include "display/ZDUtil.h"
#include "display/ZDVirtualScreenController.h"

DisplayArrangement::DisplayArrangement(ZDVirtualScreenController& displayController, DisplayHost& host,
                                       UserDefaults& defaults)
    : displayController_(displayController), host_(host), defaults_(defaults) {}

void DisplayArrangement::extendDisplaySelected() {
    displayController_.setBCloneDisplay(false);
    defaults_.setBool(false, QStringLiteral("cloneDisplay"));
    defaults_.synchronize();
    if (host_.isDeviceConnected()) uncloneDisplay();
}

void DisplayArrangement::cloneDisplay() {
    host_.sendMessage(QStringLiteral("waitASec"));
    displayController_.postModeChangeNotificationToRestartStream();
}

void DisplayArrangement::uncloneDisplay() {
    host_.sendMessage(QStringLiteral("waitASec"));
    host_.stopStream();
}

const QString& DisplayArrangement::displaySettingsCommand() {
    // The settings tools of the common desktops, then the stand-alone RandR tools. The tool is started
    // in the background with its output discarded, so the shell ends at once.
    static const QString command = QStringLiteral(
        "for tool in 'gnome-control-center display' 'kcmshell6 kcm_kscreen' 'kcmshell5 kcm_kscreen' "
        "'xfce4-display-settings' 'cinnamon-settings display' 'mate-display-properties' "
        "'lxqt-config-monitor' "
        "'arandr' 'lxrandr'; do set -- $tool; if command -v \"$1\" >/dev/null 2>&1; then "
        "\"$@\" </dev/null >/dev/null 2>&1 & echo \"$1\"; exit 0; fi; done");
    return command;
}

bool DisplayArrangement::launchDisplaySettings() {
    return !ZDUtil::runCommand(displaySettingsCommand()).isEmpty();
}
