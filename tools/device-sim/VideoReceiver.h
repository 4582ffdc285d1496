#pragma once

#include "VideoDecoder.h"

#include <QJsonObject>
#include <QString>
#include <cstdint>

// The device's screen: decodes every video frame (107 H.264, 108 JPEG) that arrives on a link and says
// what became of it, for the frame's record line. A payload of the wrong form or a picture that does not
// decode is an error of that frame only; the next one is tried as usual.
class VideoReceiver {
public:
    static bool isVideoFrame(uint32_t type);

    // Decodes one video frame. Returns the fields its record line gets: {"codec", "width", "height",
    // "decodeMs"} for a picture, {"error"} otherwise.
    QJsonObject receive(uint32_t type, uint32_t tag, const QByteArray& payload);

    // A new link: its H.264 stream must open with a key frame again, and its counts start from zero.
    // The last picture is kept until a newer one replaces it.
    void startLink();

    // What this link brought: {"frames", "errors", "codec", "width", "height", "fps"}; fps is measured
    // from the first decoded picture to the last one.
    QJsonObject summary() const;

    const QImage& lastPicture() const { return decoder_.lastPicture(); }
    OptError saveLastPicture(const QString& pngPath) const { return decoder_.saveLastPicture(pngPath); }

private:
    VideoDecoder decoder_;
    int frames_ = 0;
    int errors_ = 0;
    double firstAt_ = 0, lastAt_ = 0;
};
