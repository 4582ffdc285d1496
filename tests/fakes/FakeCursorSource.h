#pragma once

#include "platform/CursorSource.h"

// A cursor the test draws, hides and makes unreadable; a new picture gets a new serial.
class FakeCursorSource final : public CursorSource {
public:
    FakeCursorSource() { setPicture(QSize(16, 24), QPointF(1, 2)); }

    std::optional<Cursor> currentCursor() override {
        if (!readable) return std::nullopt;
        return cursor;
    }
    bool isCursorVisible() override { return visible; }
    bool cursorInFrameBuffer() const override { return inFrameBuffer; }
    void setCursorChangedHandler(std::function<void()> handler) override { changed = std::move(handler); }

    // A new cursor, half transparent, of `size`; the change is noticed.
    void setPicture(QSize size, QPointF hotSpot) {
        QImage image(size, QImage::Format_ARGB32);
        image.fill(QColor(200, 40, 40, 128));
        cursor = Cursor{image, hotSpot, ++serial};
        notice();
    }
    void setVisible(bool on, bool noticed = true) {
        visible = on;
        if (noticed) notice();
    }
    void notice() const {
        if (changed) changed();
    }

    Cursor cursor;
    quint64 serial = 0;
    bool visible = true;
    bool readable = true;
    bool inFrameBuffer = false;
    std::function<void()> changed;
};
