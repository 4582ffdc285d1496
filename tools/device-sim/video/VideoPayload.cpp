#include "VideoPayload.h"

#include <QtEndian>

namespace {

constexpr char kStartCode[4] = {0, 0, 0, 1};
constexpr uint8_t kUnitPicture = 0x21, kUnitSPS = 0x27, kUnitPPS = 0x28, kUnitKeyFrame = 0x25;

std::optional<VideoPayload> fail(Error* error, int code, const QString& why) {
    if (error) *error = Error::make(kVideoPayloadErrorDomain, code, why);
    return std::nullopt;
}

bool startsUnit(const QByteArray& bytes, qsizetype at, uint8_t type) {
    return at + 5 <= bytes.size() && memcmp(bytes.constData() + at, kStartCode, 4) == 0 &&
           uint8_t(bytes[at + 4]) == type;
}

// Every unit's four-byte big-endian length must land exactly on the end.
bool wellFormedLengthPrefixed(const QByteArray& data) {
    qsizetype pos = 0;
    while (pos < data.size()) {
        if (pos + 4 > data.size()) return false;
        const quint32 length = qFromBigEndian<quint32>(data.constData() + pos);
        if (length == 0 || length > quint32(data.size() - pos - 4)) return false;
        pos += 4 + qsizetype(length);
    }
    return !data.isEmpty();
}

} // namespace

std::optional<VideoPayload> parseVideoPayload(uint32_t frameType, uint32_t tag, const QByteArray& payload,
                                              Error* error) {
    if (frameType != kVideoFrameTypeH264 && frameType != kVideoFrameTypeJPEG)
        return fail(error, 1, QStringLiteral("frame type %1 is not a video frame").arg(frameType));
    if (payload.size() < 13)
        return fail(error, 2, QStringLiteral("payload of %1 bytes is too short").arg(payload.size()));
    const quint32 length = qFromLittleEndian<quint32>(payload.constData());
    const quint32 one = qFromLittleEndian<quint32>(payload.constData() + 4);
    if (quint64(length) + 8 != quint64(payload.size()))
        return fail(error, 3,
                    QStringLiteral("prefix counts %1 bytes, %2 follow").arg(length).arg(payload.size() - 8));
    if (one != 1) return fail(error, 4, QStringLiteral("second prefix word is %1, not 1").arg(one));

    VideoPayload out;
    const bool key = tag == kVideoKeyFrameTag;
    if (frameType == kVideoFrameTypeJPEG || !key) {
        if (tag != 0)
            return fail(error, 5, QStringLiteral("tag %1 on a frame that is not a key frame").arg(tag));
        if (!startsUnit(payload, 8, kUnitPicture))
            return fail(error, 6, QStringLiteral("first unit is not 0x21"));
        out.data = payload.mid(13);
        if (frameType == kVideoFrameTypeJPEG) {
            out.form = VideoPayload::kJPEG;
            if (!out.data.startsWith("\xFF\xD8"))
                return fail(error, 7, QStringLiteral("picture is not a JPEG image"));
        } else {
            out.form = VideoPayload::kH264Frame;
            if (!wellFormedLengthPrefixed(out.data))
                return fail(error, 8, QStringLiteral("sample data is not length-prefixed units"));
        }
        return out;
    }

    // Key frame: SPS and PPS carry no length; each ends where the next start code begins, which the
    // units' own emulation prevention keeps out of their bytes.
    out.form = VideoPayload::kH264KeyFrame;
    if (!startsUnit(payload, 8, kUnitSPS))
        return fail(error, 9, QStringLiteral("key frame does not open with 0x27"));
    const QByteArray startCode(kStartCode, 4);
    const qsizetype ppsAt = payload.indexOf(startCode, 13);
    if (ppsAt < 0 || !startsUnit(payload, ppsAt, kUnitPPS))
        return fail(error, 10, QStringLiteral("no 0x28 unit after the sequence parameter set"));
    const qsizetype dataAt = payload.indexOf(startCode, ppsAt + 5);
    if (dataAt < 0 || !startsUnit(payload, dataAt, kUnitKeyFrame))
        return fail(error, 11, QStringLiteral("no 0x25 unit after the picture parameter set"));
    out.sps = payload.mid(13, ppsAt - 13);
    out.pps = payload.mid(ppsAt + 5, dataAt - ppsAt - 5);
    out.data = payload.mid(dataAt + 5);
    if (out.sps.isEmpty() || out.pps.isEmpty()) return fail(error, 12, QStringLiteral("empty parameter set"));
    if ((uint8_t(out.sps[0]) & 0x1f) != 7 || (uint8_t(out.pps[0]) & 0x1f) != 8)
        return fail(error, 13, QStringLiteral("parameter sets carry the wrong unit types"));
    if (!wellFormedLengthPrefixed(out.data))
        return fail(error, 8, QStringLiteral("sample data is not length-prefixed units"));
    return out;
}
