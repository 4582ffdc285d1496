#include "platform/x11/XConnection.h"

#include <X11/Xlib.h>
#include <cstdlib>
#include <unistd.h>

Display* openXDisplay(const char* name) {
    const char* target = name ? name : std::getenv("DISPLAY");
    if (!target || !*target) return nullptr;
    useconds_t pause = 2000;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (Display* display = XOpenDisplay(target)) return display;
        usleep(pause);
        pause *= 2;
    }
    return nullptr;
}
