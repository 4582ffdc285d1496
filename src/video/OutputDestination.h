#pragma once

#include "base/Error.h"
#include "platform/EncoderSession.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <atomic>
#include <functional>
#include <memory>

class CompressorBase;
class CompressorSettingsController;
class PTChannel;

// Video frame types on the device channel and the tag of an H.264 key frame.
inline constexpr int32_t kFrameTypeH264Video = 107;
inline constexpr int32_t kFrameTypeJPEGVideo = 108;
inline constexpr uint32_t kKeyFrameTag = 100;

// The end of the video pipeline: wraps every compressed frame in the video payload (little-endian
// length and the value 1, then start-code units) and sends it as one frame on the device channel.
// It sends only while active, not stopped, and with a USB channel, and stops itself after the first
// failed send until the stream starts again.
//
// Threads: sendEncodedData() runs on the encoder's thread; everything else on the main thread.
class OutputDestination : public QObject {
    Q_OBJECT

public:
    using Completion = std::function<void(const OptError&)>;
    // Puts one frame on a channel. Called on the encoder's thread; the completion runs wherever the
    // channel reports the write (its own queue).
    using FrameWriter = std::function<void(const std::shared_ptr<PTChannel>& channel, uint32_t type,
                                           uint32_t tag, const QByteArray& payload, Completion completion)>;

    // The live writer: the channel's sendFrameOfType(), called on the main thread, where the channel
    // lives. A channel that is gone by then is skipped, its completion told ENOTCONN. Every writer
    // calls the completion exactly once: the picture's place in flight is given back there.
    static FrameWriter channelWriter();

    OutputDestination(const QString& type, FrameWriter writer);
    ~OutputDestination() override;

    // The payload of one video frame and its tag. Empty for a frame type that is not video, or for a
    // sample too large for the 32-bit length.
    static QByteArray videoPayload(int32_t frameType, const EncodedSample& sample, uint32_t* tag);
    // Whether an H.264 sample is a key frame, read from its attachments.
    static bool isKeyFrame(const EncodedSample& sample);

    void sendEncodedData(const SamplePtr& sample, const std::shared_ptr<PTChannel>& channel,
                         const void* peer);

    // Pictures between being handed to the encoder and leaving on the channel. A device that stops
    // reading must cost neither memory nor latency: when the channel is behind, the frame clock
    // skips instead of queuing one picture behind another.
    static constexpr int kMaxFramesInFlight = 2;
    // Frame clock thread: takes a place for one picture, or says the channel is behind.
    bool reserveFrame();
    // The picture of a place is gone: written, failed, or dropped before it was sent.
    void releaseFrame();
    // Whether pictures were skipped since the last one fed; the next one is then a key frame, so
    // the device starts afresh from what it gets.
    bool takeKeyFrameRequest() { return keyFrameWanted_.exchange(false); }
    int framesInFlight() const { return framesInFlight_.load(); }

    void setActive(bool active);
    bool active() const { return active_.load(); }
    void setupCompressor();
    void stopCompressor();
    void reset();
    void stopOutput();

    const QString& destination() const { return destination_; }
    void setDestination(const QString& destination) { destination_ = destination; }
    // `_name`, or the destination when there is none: the key the compressor files this under.
    QString name() const { return name_.isEmpty() ? destination_ : name_; }
    void setName(const QString& name) { name_ = name; }
    bool stopped() const { return stopped_.load(); }
    int32_t frameType() const { return frameType_.load(); }
    void setFrameType(int32_t frameType) { frameType_.store(frameType); }
    int32_t channel() const { return channel_.load(); }
    void setChannel(int32_t channel) { channel_.store(channel); }
    const QString& type_name() const { return typeName_; }
    CompressorSettingsController* settingsController() const { return settingsController_; }
    void setSettingsController(CompressorSettingsController* controller) { settingsController_ = controller; }
    const std::shared_ptr<CompressorBase>& compressor() const { return compressor_; }
    void setCompressor(std::shared_ptr<CompressorBase> compressor) { compressor_ = std::move(compressor); }

private:
    FrameWriter writer_;
    QString destination_;
    QString name_;
    std::atomic<bool> active_{false};
    std::atomic<bool> stopped_{true};
    std::atomic<int32_t> frameType_{0};
    std::atomic<int32_t> channel_{0};
    std::atomic<int> framesInFlight_{0};
    std::atomic<bool> keyFrameWanted_{false};
    QString typeName_;
    CompressorSettingsController* settingsController_ = nullptr;
    std::shared_ptr<CompressorBase> compressor_;
};
