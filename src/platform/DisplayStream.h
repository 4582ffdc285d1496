#pragma once

#include "platform/PixelBuffer.h"

#include <QRect>
#include <cstdint>
#include <functional>
#include <memory>

// A running capture of one display: the backend watches the display and hands every new picture, scaled
// to the output size, to a handler on the stream's own thread ("ZubDesktop.capture.queue"). Pictures are
// reference counted; the handler may keep the newest and drop the rest.
class DisplayStream {
public:
    // The frame statuses keep the numbers the rest of the program compares against.
    enum FrameStatus : int32_t {
        kFrameComplete = 0, // a new picture comes with the call
        kFrameIdle = 1,     // nothing changed; no picture
        kFrameBlank = 2,    // the display went blank; no picture
        kStopped = 3,       // the stream has ended; the last call the handler gets
    };

    // Results of start() and stop(): 0 is success.
    enum Result : int32_t {
        kSuccess = 0,
        kFailure = 1000,
        kInvalidOperation = 1010,
    };

    struct Properties {
        double minimumFrameTime = 0.0;   // seconds between two pictures at least
        bool showCursor = true;          // draw the pointer into the picture
        bool preserveAspectRatio = true; // letterbox instead of stretching
    };

    // status, display time (monotonic nanoseconds), picture (only with kFrameComplete).
    using Handler = std::function<void(FrameStatus, uint64_t, FramePtr)>;

    virtual ~DisplayStream() = default;

    virtual int32_t start() = 0;
    // Asks the stream to end; the handler then sees kStopped once, on the stream's thread.
    virtual int32_t stop() = 0;
    // Delivers a fresh picture at the next opportunity even when nothing on the display changed.
    virtual void refresh() {}
};

// Makes display streams. The source rectangle is the display's bounds in the global top-left-origin
// space, in pixels of the desktop; the picture is scaled to outputWidth x outputHeight.
class DisplayStreamFactory {
public:
    virtual ~DisplayStreamFactory() = default;
    // nullptr when the stream cannot be made (no display server, no permission, bad size).
    virtual std::shared_ptr<DisplayStream> create(uint32_t displayID, const QRect& sourceBounds,
                                                  int outputWidth, int outputHeight,
                                                  PixelBuffer::Format format,
                                                  const DisplayStream::Properties& properties,
                                                  DisplayStream::Handler handler) = 0;
};
