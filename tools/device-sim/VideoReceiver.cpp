#include "VideoReceiver.h"

#include "base/Clock.h"

#include <cmath>

bool VideoReceiver::isVideoFrame(uint32_t type) {
    return type == kVideoFrameTypeH264 || type == kVideoFrameTypeJPEG;
}

QJsonObject VideoReceiver::receive(uint32_t type, uint32_t tag, const QByteArray& payload) {
    const double start = Clock::shared().uptime();
    const OptError error = decoder_.decodeFrame(type, tag, payload);
    const double end = Clock::shared().uptime();
    if (error) {
        ++errors_;
        return QJsonObject{{QStringLiteral("error"), error->toString()}};
    }
    if (frames_++ == 0) firstAt_ = end;
    lastAt_ = end;
    // Tenths of a millisecond are as fine as one decode on a busy machine can be read.
    return QJsonObject{{QStringLiteral("codec"), decoder_.codecName()},
                       {QStringLiteral("width"), lastPicture().width()},
                       {QStringLiteral("height"), lastPicture().height()},
                       {QStringLiteral("decodeMs"), std::round((end - start) * 10000.0) / 10.0}};
}

void VideoReceiver::startLink() {
    decoder_.restartStream();
    frames_ = errors_ = 0;
    firstAt_ = lastAt_ = 0;
}

QJsonObject VideoReceiver::summary() const {
    QJsonObject out{{QStringLiteral("frames"), frames_}, {QStringLiteral("errors"), errors_}};
    if (frames_ == 0) return out;
    out.insert(QStringLiteral("codec"), decoder_.codecName());
    out.insert(QStringLiteral("width"), lastPicture().width());
    out.insert(QStringLiteral("height"), lastPicture().height());
    const double span = lastAt_ - firstAt_;
    // One picture, or all of them within one clock reading, gives no rate.
    out.insert(QStringLiteral("fps"), frames_ > 1 && span > 0 ? std::round((frames_ - 1) / span * 10.0) / 10.0
                                                              : QJsonValue(QJsonValue::Null));
    return out;
}
