#pragma once

#include "platform/linux/LinuxSystemEvents.h"

#include <QObject>
#include <QString>
#include <memory>

class QSocketNotifier;

// The desktop session's notices on an X11 desktop: LinuxSystemEvents (D-Bus, logind, portal, GTK), and
// the X screen saver extension's start and stop when no screen saver answers on the session bus.
class X11SystemEvents final : public QObject, public SystemEvents {
    Q_OBJECT
public:
    // The user's buses and GTK settings, and $DISPLAY.
    X11SystemEvents();
    // `xDisplayName` empty: $DISPLAY. The X screen saver is not watched at all when `watchX` is false.
    explicit X11SystemEvents(LinuxSystemEvents::Sources sources, QString xDisplayName = {},
                             bool watchX = true);
    ~X11SystemEvents() override;

    NotificationCenter& distributedCenter() override { return desktop_.distributedCenter(); }
    bool isDarkMode() const override { return desktop_.isDarkMode(); }

    // The sources that are not X's, and whether the X screen saver is watched.
    const LinuxSystemEvents& desktop() const { return desktop_; }
    bool screenSaverOverX() const { return xDisplay_ != nullptr; }

private slots:
    void xEventsReady();

private:
    void watchScreenSaverOverX(const QString& displayName);

    LinuxSystemEvents desktop_;
    void* xDisplay_ = nullptr; // Display*, kept out of the header
    int xEventBase_ = 0;
    std::unique_ptr<QSocketNotifier> xNotifier_;
};
