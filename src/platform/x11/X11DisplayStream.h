#pragma once

#include "platform/DisplayStream.h"

#include <QByteArray>

// Display streams on an X server. Every stream has its own thread ("ZubDesktop.capture.queue") and its
// own connection: the Damage extension says when the picture changed, MIT-SHM reads it without a copy
// through the socket, libyuv scales it to the output size, and the pointer is drawn in from the XFixes
// cursor image only when the stream is asked to show it. Pictures come from a small pool, so a steady
// stream allocates nothing.
class X11DisplayStreamFactory final : public DisplayStreamFactory {
public:
    // The X display to open; empty means $DISPLAY.
    explicit X11DisplayStreamFactory(QByteArray displayName = {});

    std::shared_ptr<DisplayStream> create(uint32_t displayID, const QRect& sourceBounds, int outputWidth,
                                          int outputHeight, PixelBuffer::Format format,
                                          const DisplayStream::Properties& properties,
                                          DisplayStream::Handler handler) override;

    // How many pictures of one stream may be out at once: the newest kept by the consumer, one still
    // in the encoder, one being captured, and one of slack. At 2732x2048 each is 22 MB, so no more.
    static constexpr int kPoolSize = 4;

private:
    QByteArray displayName_;
};
