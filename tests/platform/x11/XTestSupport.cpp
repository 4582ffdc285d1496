#include "XTestSupport.h"

#include "platform/x11/XConnection.h"

#include <X11/Xlib.h>
#include <cstdlib>

XTestDisplay::XTestDisplay() {
    display_ = openXDisplay();
}

XTestDisplay::~XTestDisplay() {
    if (display_) XCloseDisplay(display_);
}

QString XTestDisplay::missing(std::initializer_list<const char*> extensions) const {
    if (!display_) return QStringLiteral("no X server in $DISPLAY");
    for (const char* name : extensions) {
        int opcode = 0, event = 0, error = 0;
        if (!XQueryExtension(display_, name, &opcode, &event, &error))
            return QStringLiteral("the X server lacks %1").arg(QLatin1String(name));
    }
    return {};
}

QRect XTestDisplay::rootRect() const {
    const int screen = DefaultScreen(display_);
    return QRect(0, 0, DisplayWidth(display_, screen), DisplayHeight(display_, screen));
}

void XTestDisplay::fill(const QRect& rect, uint32_t rgb) {
    const Window root = DefaultRootWindow(display_);
    GC gc = XCreateGC(display_, root, 0, nullptr);
    XSetForeground(display_, gc, rgb);
    XSetSubwindowMode(display_, gc, IncludeInferiors);
    XFillRectangle(display_, root, gc, rect.x(), rect.y(), unsigned(rect.width()), unsigned(rect.height()));
    XFreeGC(display_, gc);
    XSync(display_, False);
}

void XTestDisplay::warpPointer(int x, int y) {
    XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, False);
}

uint32_t rgbAt(const uint8_t* data, int bytesPerRow, int x, int y) {
    const uint8_t* p = data + y * bytesPerRow + x * 4;
    return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

bool closeColour(uint32_t a, uint32_t b, int tolerance) {
    for (int shift : {0, 8, 16})
        if (std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) > tolerance) return false;
    return true;
}
