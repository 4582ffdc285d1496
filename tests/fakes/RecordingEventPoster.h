#pragma once

#include "platform/EventPoster.h"

#include <vector>

// Keeps every request in order; the pointer is where the last warp put it.
class RecordingEventPoster final : public EventPoster {
public:
    struct Record {
        enum Kind { Post, Warp, Associate, ReleaseHeld, Gesture };
        Kind kind = Post;
        Event event;            // Post
        int32_t tap = 0;        // Post, Gesture
        QPointF location;       // Warp
        bool connected = false; // Associate
        GestureEvent gesture;   // Gesture
    };

    void post(const Event& event, int32_t tap) override {
        records.push_back({Record::Post, event, tap, {}, false, {}});
    }
    void postGesture(const GestureEvent& gesture, int32_t tap) override {
        records.push_back({Record::Gesture, {}, tap, {}, false, gesture});
    }
    void warpMouseCursorPosition(QPointF location) override {
        records.push_back({Record::Warp, {}, 0, location, false, {}});
        pointer = location;
    }
    void associateMouseAndMouseCursorPosition(bool connected) override {
        records.push_back({Record::Associate, {}, 0, {}, connected, {}});
    }
    // The bottom-left space is the top-left one flipped over a desktop `desktopHeight` high.
    QPointF mouseLocation() const override { return {pointer.x(), desktopHeight - pointer.y()}; }
    QPointF nullEventLocation() const override { return pointer; }
    void releaseHeldInput() override { records.push_back({Record::ReleaseHeld, {}, 0, {}, false, {}}); }

    // Only the posted events, in order.
    std::vector<Event> posted() const {
        std::vector<Event> events;
        for (const Record& r : records)
            if (r.kind == Record::Post) events.push_back(r.event);
        return events;
    }

    std::vector<Record> records;
    QPointF pointer;
    double desktopHeight = 0;
};
