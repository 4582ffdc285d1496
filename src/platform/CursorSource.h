#pragma once

#include <QImage>
#include <QPointF>
#include <functional>
#include <optional>

// The desktop's current cursor: what it looks like and whether it shows. Main thread only.
class CursorSource {
public:
    struct Cursor {
        // Non-premultiplied ARGB at the cursor's own size.
        QImage image;
        // In pixels of the image, from its top-left corner.
        QPointF hotSpot;
        // Changes whenever the picture does, so an unchanged cursor need not be encoded again; 0 when
        // the source cannot tell (every cursor then counts as new).
        quint64 serial = 0;
    };

    virtual ~CursorSource() = default;

    // None when the cursor cannot be read.
    virtual std::optional<Cursor> currentCursor() = 0;
    // Whether the cursor shows at all; a cursor whose picture is wholly transparent does not.
    virtual bool isCursorVisible() = 0;
    // Whether the desktop draws the cursor into the captured picture itself, so the picture already
    // holds it and nothing need be forwarded.
    virtual bool cursorInFrameBuffer() const = 0;
    // Called on the main thread when the cursor's picture or visibility changes; empty: no calls.
    virtual void setCursorChangedHandler(std::function<void()> handler) = 0;
};
