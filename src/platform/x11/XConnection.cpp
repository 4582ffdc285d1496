#include "platform/x11/XConnection.h"

#include <X11/Xlib.h>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace {

thread_local int t_lastXError = 0;

int recordXError(Display*, XErrorEvent* event) {
    // The first error of a stretch says what went wrong; later ones are its consequences.
    if (t_lastXError == 0) t_lastXError = event->error_code;
    return 0;
}

} // namespace

void installXErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] { XSetErrorHandler(recordXError); });
}

int& threadLastXError() {
    return t_lastXError;
}

Display* openXDisplay(const char* name) {
    installXErrorHandler();
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

Display* openXDisplay(const QString& name) {
    const QByteArray local = name.toLocal8Bit();
    return openXDisplay(local.isEmpty() ? nullptr : local.constData());
}

XErrorTrap::XErrorTrap(Display* display) : display_(display) {
    installXErrorHandler();
    XSync(display_, False);
    saved_ = t_lastXError;
    t_lastXError = 0;
}

XErrorTrap::~XErrorTrap() {
    XSync(display_, False);
    t_lastXError = saved_;
}

std::optional<int> XErrorTrap::sync() {
    XSync(display_, False);
    return t_lastXError ? std::optional<int>(t_lastXError) : std::nullopt;
}
