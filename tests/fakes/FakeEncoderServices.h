#pragma once

#include "platform/EncoderSession.h"

#include <memory>
#include <vector>

// Encoder services that record what was asked of them. Sessions encode synchronously: the callback
// runs inside encodeFrame(), on the caller's thread, with the sample `produce` makes.
class FakeEncoderServices final : public EncoderServices {
public:
    struct SessionRecord {
        int width = 0, height = 0;
        CodecType codec = kCodecTypeJPEG;
        QVariantMap specification;
        QVariantMap properties;
        std::vector<FramePtr> images;
        // The presentation time and duration given with each picture.
        std::vector<MediaTime> pts, durations;
        // The indexes of the pictures that were asked to be key frames.
        std::vector<size_t> keyFrames;
        bool keyFrameRequested = false;
        int completed = 0;
        bool invalidated = false;
    };

    std::vector<QVariantMap> encoders;
    bool failCreate = false;
    bool jpegTakesBGRA = true;
    // Makes the sample for a picture; null means the encoder dropped it.
    std::function<SamplePtr(const PixelBuffer&)> produce;
    std::vector<std::shared_ptr<SessionRecord>> sessions;
    int transfers = 0;
    int transferSessionsMade = 0;

    std::vector<QVariantMap> copyVideoEncoderList() override { return encoders; }
    std::unique_ptr<EncoderSession> createCompressionSession(int width, int height, CodecType codec,
                                                             const QVariantMap& encoderSpecification,
                                                             EncoderSession::OutputCallback callback,
                                                             OptError* error) override;
    std::unique_ptr<PixelTransferSession> createPixelTransferSession() override;
    bool acceptsBGRA(CodecType codec) const override { return codec == kCodecTypeH264 || jpegTakesBGRA; }

    std::shared_ptr<SessionRecord> lastSession() const {
        return sessions.empty() ? nullptr : sessions.back();
    }
};

// A sample as an encoder would hand it over: `size` bytes of data, with the given sync attachment.
SamplePtr makeSample(int size, std::optional<bool> notSync = std::nullopt,
                     std::vector<QByteArray> parameterSets = {}, bool withAttachment = true);
