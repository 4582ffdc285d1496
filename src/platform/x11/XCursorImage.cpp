#include "platform/x11/XCursorImage.h"

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

std::optional<XCursorImage> readXCursorImage(Display* display) {
    XFixesCursorImage* image = XFixesGetCursorImage(display);
    if (!image) return std::nullopt;
    XCursorImage cursor;
    cursor.size = QSize(image->width, image->height);
    cursor.hotSpot = QPoint(image->xhot, image->yhot);
    cursor.position = QPoint(image->x, image->y);
    cursor.serial = image->cursor_serial;
    // Xlib widens every 32-bit pixel to an unsigned long.
    cursor.pixels.resize(size_t(image->width) * size_t(image->height));
    for (size_t i = 0; i < cursor.pixels.size(); ++i)
        cursor.pixels[i] = uint32_t(image->pixels[i]);
    XFree(image);
    return cursor;
}
