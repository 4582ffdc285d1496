#pragma once

#include "platform/EncoderSession.h"

// Encoders of a Linux desktop: H.264 through libavcodec (a hardware encoder where one opens, libx264
// otherwise) and JPEG through TurboJPEG; the pixel transfer through libyuv.
class LinuxEncoderServices final : public EncoderServices {
public:
    std::vector<QVariantMap> copyVideoEncoderList() override;
    std::unique_ptr<EncoderSession> createCompressionSession(int width, int height, CodecType codec,
                                                             const QVariantMap& encoderSpecification,
                                                             EncoderSession::OutputCallback callback,
                                                             OptError* error) override;
    std::unique_ptr<PixelTransferSession> createPixelTransferSession() override;
    bool acceptsBGRA(CodecType) const override { return true; }
};
