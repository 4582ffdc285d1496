#include "fakes/FakeEncoderServices.h"

#include <utility>

namespace {

class FakeSession final : public EncoderSession {
public:
    FakeSession(std::shared_ptr<FakeEncoderServices::SessionRecord> record, FakeEncoderServices* services,
                OutputCallback callback)
        : record_(std::move(record)), services_(services), callback_(std::move(callback)) {}

    OptError setProperty(const QString& key, const QVariant& value) override {
        record_->properties.insert(key, value);
        return std::nullopt;
    }
    QVariant copyProperty(const QString& key) const override { return record_->properties.value(key); }
    OptError encodeFrame(FramePtr image, MediaTime pts, MediaTime duration,
                         std::shared_ptr<const void> frameContext) override {
        if (record_->invalidated)
            return Error::make(kEncoderErrorDomain, kEncoderErrorInvalidated, QStringLiteral("invalidated"));
        if (std::exchange(record_->keyFrameRequested, false))
            record_->keyFrames.push_back(record_->pts.size());
        record_->images.push_back(image);
        record_->pts.push_back(pts);
        record_->durations.push_back(duration);
        SamplePtr sample = services_->produce ? services_->produce(*image) : makeSample(100);
        if (sample) {
            auto timed = std::make_shared<EncodedSample>(*sample);
            timed->pts = pts;
            timed->duration = duration;
            sample = timed;
        }
        callback_(std::move(frameContext),
                  sample ? OptError{} : Error::make(kEncoderErrorDomain, kEncoderErrorFrameDropped, {}),
                  sample);
        return std::nullopt;
    }
    void completeFrames() override { ++record_->completed; }
    void requestKeyFrame() override { record_->keyFrameRequested = true; }
    void invalidate() override { record_->invalidated = true; }

private:
    std::shared_ptr<FakeEncoderServices::SessionRecord> record_;
    FakeEncoderServices* services_;
    OutputCallback callback_;
};

class FakeTransfer final : public PixelTransferSession {
public:
    explicit FakeTransfer(FakeEncoderServices* services) : services_(services) {}
    OptError transferImage(const PixelBuffer& source, PixelBuffer& destination) override {
        ++services_->transfers;
        // Marks the destination with the source's first byte, so a test can tell it was filled from it.
        memset(destination.data(), source.data()[0],
               size_t(destination.bytesPerRow()) * size_t(destination.height()));
        return std::nullopt;
    }

private:
    FakeEncoderServices* services_;
};

} // namespace

std::unique_ptr<EncoderSession>
FakeEncoderServices::createCompressionSession(int width, int height, CodecType codec,
                                              const QVariantMap& encoderSpecification,
                                              EncoderSession::OutputCallback callback, OptError* error) {
    if (failCreate) {
        if (error)
            *error = Error::make(kEncoderErrorDomain, kEncoderErrorNoEncoder, QStringLiteral("refused"));
        return nullptr;
    }
    auto record = std::make_shared<SessionRecord>();
    record->width = width;
    record->height = height;
    record->codec = codec;
    record->specification = encoderSpecification;
    sessions.push_back(record);
    return std::make_unique<FakeSession>(record, this, std::move(callback));
}

std::unique_ptr<PixelTransferSession> FakeEncoderServices::createPixelTransferSession() {
    ++transferSessionsMade;
    return std::make_unique<FakeTransfer>(this);
}

SamplePtr makeSample(int size, std::optional<bool> notSync, std::vector<QByteArray> parameterSets,
                     bool withAttachment) {
    auto sample = std::make_shared<EncodedSample>();
    sample->data.resize(size);
    for (int i = 0; i < size; ++i)
        sample->data[i] = char(i * 7 + 3);
    if (withAttachment) sample->attachments.push_back(SampleAttachment{notSync});
    sample->parameterSets = std::move(parameterSets);
    return sample;
}
