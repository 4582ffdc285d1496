#pragma once

#include <QString>
#include <optional>

typedef struct _XDisplay Display;

// Opens a connection to the X server `name` (nullptr: $DISPLAY). A busy server resets some of many
// connections opened in quick succession (Xvfb does, about one in ten), so a refused attempt is tried
// again a few times before giving up. nullptr when there is no server. Installs the error handler below.
Display* openXDisplay(const char* name = nullptr);
// The same by the name the program was given; an empty one is $DISPLAY.
Display* openXDisplay(const QString& name);

// Xlib reports protocol errors through one process-wide handler whose default ends the process. The
// one installed here records the error for the thread whose call caused it (each connection is used by
// one thread, and Xlib calls the handler on the thread that reads the error) and carries on.
void installXErrorHandler();
// The code of the last X error on this thread, 0 for none; clear it before the requests to check.
int& threadLastXError();

// The errors of a stretch of requests: made after the requests before it have been handled, it
// reports only the errors of what follows, and restores the thread's earlier record when it goes.
class XErrorTrap {
public:
    explicit XErrorTrap(Display* display);
    ~XErrorTrap();
    XErrorTrap(const XErrorTrap&) = delete;
    XErrorTrap& operator=(const XErrorTrap&) = delete;

    // Waits until the server has handled every request made so far; the first error code they caused.
    std::optional<int> sync();

private:
    Display* display_;
    int saved_;
};
