#include "platform/codec/LinuxEncoderServices.h"

#include "platform/codec/EncoderSessions.h"

#include <libyuv.h>

namespace {

QVariantMap encoderEntry(const QString& id, const QString& name, CodecType codec) {
    return {{kEncoderListEncoderID, id},
            {kEncoderListEncoderName, name},
            {kEncoderListCodecType, uint32_t(codec)}};
}

Error transferError(const QString& why) {
    return Error::make(kEncoderErrorDomain, kEncoderErrorInvalidArgument, why);
}

// Converts and scales with libyuv. The intermediate picture of a scaled conversion is kept for the
// next call, so a steady stream allocates nothing here.
class YuvTransferSession final : public PixelTransferSession {
public:
    OptError transferImage(const PixelBuffer& source, PixelBuffer& destination) override {
        const int sw = source.width(), sh = source.height();
        const int dw = destination.width(), dh = destination.height();
        if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return transferError(QStringLiteral("empty picture"));
        const bool scaled = sw != dw || sh != dh;
        const uint8_t* bgra = source.data();
        int bgraStride = source.bytesPerRow();

        if (source.format() == PixelBuffer::kYUVS) {
            if (destination.format() == PixelBuffer::kYUVS && !scaled) {
                libyuv::CopyPlane(source.data(), source.bytesPerRow(), destination.data(),
                                  destination.bytesPerRow(), sw * 2, sh);
                return std::nullopt;
            }
            // Through BGRA, which libyuv scales.
            PixelBuffer& step = scratch(sw, sh);
            if (libyuv::YUY2ToARGB(source.data(), source.bytesPerRow(), step.data(), step.bytesPerRow(), sw,
                                   sh) != 0)
                return transferError(QStringLiteral("conversion failed"));
            bgra = step.data();
            bgraStride = step.bytesPerRow();
        } else if (source.format() != PixelBuffer::kBGRA) {
            return transferError(QStringLiteral("unknown source format"));
        }

        if (destination.format() == PixelBuffer::kBGRA) {
            const int rc = scaled
                               ? libyuv::ARGBScale(bgra, bgraStride, sw, sh, destination.data(),
                                                   destination.bytesPerRow(), dw, dh, libyuv::kFilterBilinear)
                               : libyuv::ARGBCopy(bgra, bgraStride, destination.data(),
                                                  destination.bytesPerRow(), dw, dh);
            return rc == 0 ? OptError{} : transferError(QStringLiteral("scaling failed"));
        }
        if (destination.format() != PixelBuffer::kYUVS)
            return transferError(QStringLiteral("unknown destination format"));
        if (scaled) {
            PixelBuffer& step = scaledScratch(dw, dh);
            if (libyuv::ARGBScale(bgra, bgraStride, sw, sh, step.data(), step.bytesPerRow(), dw, dh,
                                  libyuv::kFilterBilinear) != 0)
                return transferError(QStringLiteral("scaling failed"));
            bgra = step.data();
            bgraStride = step.bytesPerRow();
        }
        if (libyuv::ARGBToYUY2(bgra, bgraStride, destination.data(), destination.bytesPerRow(), dw, dh) != 0)
            return transferError(QStringLiteral("conversion failed"));
        return std::nullopt;
    }

private:
    static PixelBuffer& reuse(std::shared_ptr<PixelBuffer>& buffer, int width, int height) {
        if (!buffer || buffer->width() != width || buffer->height() != height)
            buffer = PixelBuffer::create(width, height, PixelBuffer::kBGRA);
        return *buffer;
    }
    PixelBuffer& scratch(int width, int height) { return reuse(scratch_, width, height); }
    PixelBuffer& scaledScratch(int width, int height) { return reuse(scaledScratch_, width, height); }

    std::shared_ptr<PixelBuffer> scratch_, scaledScratch_;
};

} // namespace

std::vector<QVariantMap> LinuxEncoderServices::copyVideoEncoderList() {
    std::vector<QVariantMap> list;
    for (const QString& name : hardwareH264Encoders()) {
        if (!h264EncoderOpens(name)) continue;
        const QString backend = name.mid(name.indexOf(QLatin1Char('_')) + 1);
        list.push_back(encoderEntry(QStringLiteral("org.ffmpeg.h264.%1").arg(backend),
                                    QStringLiteral("H.264 (HW) %1").arg(backend.toUpper()), kCodecTypeH264));
    }
    if (h264EncoderOpens(kSoftwareH264Encoder))
        list.push_back(encoderEntry(QStringLiteral("org.videolan.x264"), QStringLiteral("H.264 (libx264)"),
                                    kCodecTypeH264));
    list.push_back(
        encoderEntry(QStringLiteral("org.libjpeg-turbo.jpeg"), QStringLiteral("JPEG"), kCodecTypeJPEG));
    return list;
}

std::unique_ptr<EncoderSession>
LinuxEncoderServices::createCompressionSession(int width, int height, CodecType codec,
                                               const QVariantMap& encoderSpecification,
                                               EncoderSession::OutputCallback callback, OptError* error) {
    switch (codec) {
    case kCodecTypeJPEG:
        return createJpegSession(width, height, std::move(callback), error);
    case kCodecTypeH264: {
        // Hardware is a preference: without it H.264 still works, in software.
        QStringList encoders;
        if (encoderSpecification.value(kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder).toBool())
            for (const QString& name : hardwareH264Encoders())
                if (h264EncoderOpens(name)) encoders << name;
        encoders << kSoftwareH264Encoder;
        return createH264Session(width, height, encoders, std::move(callback), error);
    }
    }
    if (error)
        *error = Error::make(
            kEncoderErrorDomain, kEncoderErrorNoEncoder,
            QStringLiteral("no encoder for codec 0x%1").arg(uint32_t(codec), 8, 16, QLatin1Char('0')));
    return nullptr;
}

std::unique_ptr<PixelTransferSession> LinuxEncoderServices::createPixelTransferSession() {
    return std::make_unique<YuvTransferSession>();
}
