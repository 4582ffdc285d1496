#pragma once

#include "base/NotificationCenter.h"

#include <QString>

// Names of the system notices posted on SystemEvents::distributedCenter().
inline const QString kScreenSaverDidStartNotification = QStringLiteral("com.apple.screensaver.didstart");
inline const QString kScreenSaverDidStopNotification = QStringLiteral("com.apple.screensaver.didstop");
inline const QString kScreenIsLockedNotification = QStringLiteral("com.apple.screenIsLocked");
inline const QString kScreenIsUnlockedNotification = QStringLiteral("com.apple.screenIsUnlocked");
inline const QString kInterfaceThemeChangedNotification =
    QStringLiteral("AppleInterfaceThemeChangedNotification");

// Notices of the desktop session: screen saver, screen lock, appearance. A desktop that offers none
// of them simply posts nothing.
class SystemEvents {
public:
    virtual ~SystemEvents() = default;

    // The system-wide notices above, posted on the main thread.
    virtual NotificationCenter& distributedCenter() = 0;
    // Whether the desktop prefers a dark appearance; NO when it does not say.
    virtual bool isDarkMode() const = 0;
};
