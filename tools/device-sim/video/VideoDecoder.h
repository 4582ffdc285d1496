#pragma once

#include "VideoPayload.h"

#include <QImage>
#include <QString>
#include <memory>

// Turns the device's video frames back into pictures: JPEG through TurboJPEG, H.264 through
// libavcodec (the length-prefixed units rewritten as a start-code stream, parameter sets in front
// of every key frame). Keeps the last picture.
class VideoDecoder {
public:
    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Checks the payload's form, then decodes it. An H.264 stream must open with a key frame.
    OptError decodeFrame(uint32_t frameType, uint32_t tag, const QByteArray& payload);

    // RGB32; null before the first picture.
    const QImage& lastPicture() const { return picture_; }
    // "H.264" or "JPEG" after the first picture.
    QString codecName() const;
    int picturesDecoded() const { return pictures_; }
    OptError saveLastPicture(const QString& pngPath) const;
    // A new stream from a new link: H.264 must open with a key frame again. The last picture stays.
    void restartStream();

private:
    OptError decodeJPEG(const QByteArray& picture);
    OptError decodeH264(const VideoPayload& payload);

    struct Private;
    std::unique_ptr<Private> d;
    QImage picture_;
    int pictures_ = 0;
    uint32_t lastType_ = 0;
};
