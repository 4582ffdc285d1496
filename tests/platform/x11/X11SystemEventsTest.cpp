#include "platform/x11/X11SystemEvents.h"
#include "platform/x11/X11Power.h"
#include "platform/x11/XConnection.h"

#include "fakes/PrivateXvfb.h"
#include "fakes/TestSupport.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

// The X screen saver's start and stop become notices (never a lock); display sleep is watched only
// where DPMS is, and held off through the screen saver extension. On an X server of its own: the
// screen saver is the whole server's, and other tests' input would wake it.
TEST(X11SystemEventsTest, TheXScreenSaverStartsAndStopsAndDisplaySleepNeedsDpms) {
    PrivateXvfb xvfb(320, 240);
    if (!xvfb.running()) GTEST_SKIP() << xvfb.failure().toStdString();
    const ScopedEnvironment environment{{"DISPLAY", xvfb.displayName()}};
    Display* dpy = openXDisplay();
    ASSERT_NE(dpy, nullptr);
    int eventBase = 0, errorBase = 0;
    const bool hasScreenSaver = XScreenSaverQueryExtension(dpy, &eventBase, &errorBase);
    const bool hasDpms = XQueryExtension(dpy, "DPMS", &eventBase, &eventBase, &errorBase);

    QStringList names;
    X11SystemEvents events({std::nullopt, std::nullopt, freshTempPath(QStringLiteral("gtk-")), QString()});
    EXPECT_EQ(events.screenSaverOverX(), hasScreenSaver);
    for (const QString& name :
         {kScreenSaverDidStartNotification, kScreenSaverDidStopNotification, kScreenIsLockedNotification})
        events.distributedCenter().addObserver(name, nullptr,
                                               [&names](const Notification& n) { names << n.name; });
    if (hasScreenSaver) {
        XForceScreenSaver(dpy, ScreenSaverActive);
        XFlush(dpy);
        EXPECT_TRUE(waitUntil([&] { return names.contains(kScreenSaverDidStartNotification); }));
        EXPECT_EQ(names.value(0), kScreenSaverDidStartNotification);
        XForceScreenSaver(dpy, ScreenSaverReset);
        XFlush(dpy);
        EXPECT_TRUE(waitUntil([&] { return names.contains(kScreenSaverDidStopNotification); }));
        EXPECT_FALSE(names.contains(kScreenIsLockedNotification));
    }
    XCloseDisplay(dpy);

    X11Power power;
    EXPECT_EQ(power.watchDisplayPower([](uint32_t) {}), hasDpms);
    EXPECT_EQ(power.preventDisplaySleep(true, QStringLiteral("streaming")), hasScreenSaver);
    EXPECT_EQ(power.preventDisplaySleep(false, QString()), hasScreenSaver);
}

TEST(X11PowerTest, DpmsLevelChangesBecomeDisplayPowerMessages) {
    using L = X11Power::Level;
    const uint32_t canOff = Power::kMessageCanDevicePowerOff, willOff = Power::kMessageDeviceWillPowerOff,
                   on = Power::kMessageDeviceHasPoweredOn;
    const struct {
        L from, to;
        std::vector<uint32_t> messages;
    } cases[] = {
        {L::On, L::On, {}},           {L::On, L::Standby, {canOff}},   {L::On, L::Suspend, {canOff}},
        {L::Standby, L::Suspend, {}}, {L::Suspend, L::Off, {willOff}}, {L::On, L::Off, {willOff}},
        {L::Off, L::On, {on}},        {L::Standby, L::On, {on}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(X11Power::displayPowerMessages(c.from, c.to), c.messages)
            << int(c.from) << "->" << int(c.to);
}
