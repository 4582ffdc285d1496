#pragma once

#include "platform/linux/DesktopEntries.h"
#include "platform/linux/LinuxWorkspace.h"

#include <memory>

// The workspace of an X11 desktop: LinuxWorkspace's record of running instances, and the application
// in front, read from the window the window manager marks active (_NET_ACTIVE_WINDOW) and named
// after its desktop entry. The desktop-file ID stands for the bundle identifier: the one the toolkit
// announces (_GTK_APPLICATION_ID, _KDE_NET_WM_DESKTOP_FILE), else the one of the entry matching the
// window class or program, else the window class ("photoshop.exe" for a Windows program under Wine).
// Used on the main thread, where the change handler runs too.
class X11Workspace final : public LinuxWorkspace {
public:
    // `xDisplayName` empty: $DISPLAY. Without an X server, or with a window manager that does not mark
    // the active window, nothing is in front and no change is ever reported.
    explicit X11Workspace(QString runtimeDirectory = {}, QString xDisplayName = {},
                          DesktopEntries entries = DesktopEntries());
    ~X11Workspace() override;

    FrontmostApplicationInfo frontmostApplication() override;
    // Called when the active window passes to another application, not for each window of one.
    void setFrontmostApplicationChangedHandler(std::function<void()> handler) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
