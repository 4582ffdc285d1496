#pragma once

#include <QPoint>
#include <QSize>
#include <cstdint>
#include <optional>
#include <vector>

typedef struct _XDisplay Display;

// The X server's current cursor as XFixes reports it.
struct XCursorImage {
    QSize size;
    QPoint hotSpot;
    // Where the pointer is, in root coordinates.
    QPoint position;
    // Changes with every new cursor picture.
    quint64 serial = 0;
    // Premultiplied ARGB, row after row.
    std::vector<uint32_t> pixels;
};

// None when the server has no XFixes or does not answer.
std::optional<XCursorImage> readXCursorImage(Display* display);
