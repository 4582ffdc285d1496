#pragma once

#include "base/Error.h"

#include <QByteArray>
#include <cstdint>
#include <optional>

// What the device reads out of a video frame (types 107 and 108): the little-endian prefix, then one
// or three start-code units. Every payload is checked against the three forms the agent may send.
struct VideoPayload {
    enum Form { kJPEG, kH264Frame, kH264KeyFrame };
    Form form = kJPEG;
    // JPEG: the picture; H.264: the sample in length-prefixed form.
    QByteArray data;
    QByteArray sps, pps; // key frames only
};

inline constexpr uint32_t kVideoFrameTypeH264 = 107;
inline constexpr uint32_t kVideoFrameTypeJPEG = 108;
inline constexpr uint32_t kVideoKeyFrameTag = 100;
inline const QString kVideoPayloadErrorDomain = QStringLiteral("VideoPayloadError");

std::optional<VideoPayload> parseVideoPayload(uint32_t frameType, uint32_t tag, const QByteArray& payload,
                                              Error* error);
