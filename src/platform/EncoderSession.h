#pragma once

#include "base/Error.h"
#include "platform/PixelBuffer.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Video compression as the pipeline sees it: a list of the encoders the machine has, sessions of one
// size and codec that take pictures and hand compressed samples to a callback on the encoder's own
// thread, and a pixel transfer that converts (and scales) a picture into another buffer.

// A point or span on a media time line: value / timescale seconds.
struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 0; // 0 = invalid
    bool isValid() const { return timescale > 0; }
    double seconds() const { return isValid() ? double(value) / double(timescale) : 0.0; }
};

// Four-character codes of the codecs a session can make.
enum CodecType : uint32_t {
    kCodecTypeH264 = 0x61766331, // 'avc1'
    kCodecTypeJPEG = 0x6A706567, // 'jpeg'
};

// Per-sample attachment; `notSync` absent means the attachment says nothing about sync.
struct SampleAttachment {
    std::optional<bool> notSync;
};

// One compressed picture.
struct EncodedSample {
    // H.264: every unit preceded by its length in four big-endian bytes, parameter sets apart;
    // JPEG: one whole image.
    QByteArray data;
    // Empty when the encoder attached nothing.
    std::vector<SampleAttachment> attachments;
    // The format description's parameter sets: H.264 index 0 = sequence, 1 = picture parameter set,
    // each a bare unit starting with its unit header byte.
    std::vector<QByteArray> parameterSets;
    MediaTime pts;
    MediaTime duration;
};
using SamplePtr = std::shared_ptr<const EncodedSample>;

// Encoder list entry keys and values.
inline const QString kEncoderListEncoderID = QStringLiteral("EncoderID");
inline const QString kEncoderListEncoderName = QStringLiteral("EncoderName");
inline const QString kEncoderListCodecType = QStringLiteral("CodecType");

// Keys of the encoder specification given at creation.
inline const QString kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder =
    QStringLiteral("EnableHardwareAcceleratedVideoEncoder");
inline const QString kEncoderSpecificationRealTime = QStringLiteral("CompressionPropertyKey_RealTime");

// Session properties.
inline const QString kCompressionPropertyRealTime = QStringLiteral("RealTime");
inline const QString kCompressionPropertyAllowFrameReordering = QStringLiteral("AllowFrameReordering");
inline const QString kCompressionPropertyQuality = QStringLiteral("Quality");
inline const QString kCompressionPropertyUsingHardwareAcceleratedVideoEncoder =
    QStringLiteral("UsingHardwareAcceleratedVideoEncoder");

inline const QString kEncoderErrorDomain = QStringLiteral("EncoderError");
enum EncoderErrorCode {
    kEncoderErrorInvalidArgument = 1,
    kEncoderErrorNoEncoder = 2,
    kEncoderErrorPropertyNotSupported = 3,
    kEncoderErrorInvalidated = 4,
    kEncoderErrorFrameDropped = 5,
    kEncoderErrorEncodeFailed = 6,
};

class EncoderSession {
public:
    // Called once per submitted picture, on the encoder's thread, in submission order. `sample` is
    // null when the picture was dropped or failed (then `status` says why). `frameContext` is what
    // was given with the picture; dropping it releases it.
    using OutputCallback = std::function<void(std::shared_ptr<const void> frameContext,
                                              const OptError& status, SamplePtr sample)>;

    virtual ~EncoderSession() = default;

    virtual OptError setProperty(const QString& key, const QVariant& value) = 0;
    // Invalid when the session does not know the property.
    virtual QVariant copyProperty(const QString& key) const = 0;

    // Hands one picture to the encoder; the picture is referenced, not copied, until it is encoded.
    virtual OptError encodeFrame(FramePtr image, MediaTime pts, MediaTime duration,
                                 std::shared_ptr<const void> frameContext) = 0;
    // Returns once every picture submitted so far has gone through the callback.
    virtual void completeFrames() = 0;
    // Ends the session: pictures not yet encoded are dropped (each still gets its callback), no
    // callback runs after this returns, and later encodes fail.
    virtual void invalidate() = 0;
    // The next picture submitted comes out as a key frame. Codecs whose every picture stands
    // alone need do nothing.
    virtual void requestKeyFrame() {}
};

class PixelTransferSession {
public:
    virtual ~PixelTransferSession() = default;
    // Converts `source` into `destination`'s format, scaling to its size.
    virtual OptError transferImage(const PixelBuffer& source, PixelBuffer& destination) = 0;
};

class EncoderServices {
public:
    virtual ~EncoderServices() = default;

    // The encoders that really open here, one map per encoder (keys above).
    virtual std::vector<QVariantMap> copyVideoEncoderList() = 0;

    virtual std::unique_ptr<EncoderSession> createCompressionSession(int width, int height, CodecType codec,
                                                                     const QVariantMap& encoderSpecification,
                                                                     EncoderSession::OutputCallback callback,
                                                                     OptError* error) = 0;

    virtual std::unique_ptr<PixelTransferSession> createPixelTransferSession() = 0;

    // Whether the codec's encoder takes BGRA pictures as they are (no conversion to 'yuvs').
    virtual bool acceptsBGRA(CodecType codec) const = 0;
};
