#pragma once

#include "video/CompressorBase.h"

#include <QVariant>
#include <memory>

class PTChannel;

// Compresses captured pictures to H.264 or JPEG, chosen per session from the machine, the device and
// the picture, and hands every compressed frame to its output destination.
//
// Threads: compressVideoFrame() and setupCompressor() run on the frame clock's thread; the encoder's
// callback on the encoder's thread; reset() and setPtChannel() on the main thread, reset() only while
// the frame clock is stopped.
class AppleVTCompressor : public CompressorBase {
    Q_OBJECT

public:
    explicit AppleVTCompressor(std::shared_ptr<EncoderServices> services);
    // From a stored compressor table's entry.
    AppleVTCompressor(std::shared_ptr<EncoderServices> services, const QVariantMap& archive);
    ~AppleVTCompressor() override;

    // Whether the picture was taken: then it reaches the output callback exactly once. `keyFrame`
    // asks for a key frame (a fresh session starts with one anyway).
    bool compressVideoFrame(const FramePtr& frame, MediaTime pts, MediaTime duration, bool keyFrame = false);
    bool setupCompressor(const FramePtr& frame);
    uint32_t getCodecType() const;
    // The codec of the current session (0 before the first).
    uint32_t codecType() const { return codecType_.load(); }

    bool supportHWH264() const;
    bool isOSSupportBGRA() const;
    bool useBGRAForJpecCodec();

    void reset() override;

    void setPtChannel(std::shared_ptr<PTChannel> channel) { ptChannel_.store(std::move(channel)); }
    std::shared_ptr<PTChannel> ptChannel() const { return ptChannel_.load(); }
    void setSize(double width, double height);

    bool bOSSupportBGRA() const { return bOSSupportBGRA_; }
    void setBOSSupportBGRA(bool supports) { bOSSupportBGRA_ = supports; }
    bool bH264HWCodec() const { return bH264HWCodec_.load(); }
    void setBH264HWCodec(bool hardware) { bH264HWCodec_.store(hardware); }
    void setUseBGRAForJpecCodec(bool useBGRA) { useBGRAForJpecCodec_ = useBGRA; }
    const QString& peerHardwareString() const { return peerHardwareString_; }
    void setPeerHardwareString(const QString& hardware) { peerHardwareString_ = hardware; }
    bool use_cbr() const { return useCbr_; }
    void setUse_cbr(bool cbr) { useCbr_ = cbr; }
    int average_bitrate() const { return averageBitrate_; }
    void setAverage_bitrate(int bitrate) { averageBitrate_ = bitrate; }
    int max_bitrate() const { return maxBitrate_; }
    void setMax_bitrate(int bitrate) { maxBitrate_ = bitrate; }
    int keyframe_interval() const { return keyframeInterval_; }
    void setKeyframe_interval(int interval) { keyframeInterval_ = interval; }
    const QString& profile() const { return profile_; }
    void setProfile(const QString& profile) { profile_ = profile; }
    const QVariantList& profiles() const { return profiles_; }
    bool hasSession() const { return session_ != nullptr; }
    OutputDestination* outputDest() const { return outputDest_.load(); }

private:
    void outputCallback(const SamplePtr& sample);
    void endSession(std::unique_ptr<EncoderSession> session);

    std::shared_ptr<EncoderServices> services_;
    std::unique_ptr<EncoderSession> session_;
    std::unique_ptr<PixelTransferSession> pixelTransfer_;
    std::atomic<std::shared_ptr<PTChannel>> ptChannel_;
    bool useCbr_ = false;
    int averageBitrate_ = 0, maxBitrate_ = 0, keyframeInterval_ = 0;
    QString profile_;
    bool bOSSupportBGRA_ = false;
    std::atomic<bool> bH264HWCodec_{false};
    std::atomic<uint32_t> codecType_{0};
    QVariantList profiles_;
    QString peerHardwareString_;
    std::optional<bool> useBGRAForJpecCodec_;
};
