#pragma once

#include "platform/DisplayStream.h"

#include <QPointF>
#include <cstdint>
#include <memory>

// The system's Touch Bar, where the machine has one: a live picture of it, its streaming status, and
// touches posted to it. Pictures are BGRA, 1085 x 30 points; touches are in those points, y upwards.
class TouchBarSource {
public:
    enum class MouseActivity { kDown, kUp, kDragged };

    // The Touch Bar's own status: it shows its picture to us only while streaming.
    enum Status : int32_t {
        kStatusStopped = 0,
        kStatusStreaming = 2,
    };

    virtual ~TouchBarSource() = default;

    // Whether the machine has a Touch Bar that can be streamed and touched; nothing else is asked of a
    // source that answers false.
    virtual bool available() const = 0;
    virtual void setStatus(Status status) = 0;
    // A stream of the Touch Bar's pictures, delivered to `handler` on a thread of the source's; null
    // when it cannot be made.
    virtual std::shared_ptr<DisplayStream> createStream(DisplayStream::Handler handler) = 0;
    virtual void postEvent(MouseActivity activity, QPointF point) = 0;
};
