#include "video/AppleVTCompressor.h"

#include "base/Logging.h"
#include "video/OutputDestination.h"

namespace {

// JPEG pictures with more pixels than 1024x768 are sent at low quality to keep them small.
constexpr int64_t kJpegFullQualityPixels = 1024 * 768;
constexpr double kLargeJpegQuality = 0.1;

const char* codecName(uint32_t codec) {
    return codec == kCodecTypeH264 ? "H.264" : "JPEG";
}

const QString kArchiveName = QStringLiteral("name");
const QString kArchiveAverageBitrate = QStringLiteral("average_bitrate");
const QString kArchiveMaxBitrate = QStringLiteral("max_bitrate");
const QString kArchiveKeyframeInterval = QStringLiteral("keyframe_interval");
const QString kArchiveProfile = QStringLiteral("profile");
const QString kArchiveUseCbr = QStringLiteral("use_cbr");
const QString kArchiveWidth = QStringLiteral("videoWidth");
const QString kArchiveHeight = QStringLiteral("videoHeight");
const QString kArchiveResolutionOption = QStringLiteral("resolutionOption");

} // namespace

AppleVTCompressor::AppleVTCompressor(std::shared_ptr<EncoderServices> services)
    : services_(std::move(services)), profiles_{QVariant(), QStringLiteral("Baseline"),
                                                QStringLiteral("Main"), QStringLiteral("High")} {
    setCompressorType(QStringLiteral("AppleVTCompressor"));
    bOSSupportBGRA_ = isOSSupportBGRA();
    bH264HWCodec_.store(supportHWH264());
}

AppleVTCompressor::AppleVTCompressor(std::shared_ptr<EncoderServices> services, const QVariantMap& archive)
    : AppleVTCompressor(std::move(services)) {
    setName(archive.value(kArchiveName).toString());
    averageBitrate_ = archive.value(kArchiveAverageBitrate).toInt();
    maxBitrate_ = archive.value(kArchiveMaxBitrate).toInt();
    keyframeInterval_ = archive.value(kArchiveKeyframeInterval).toInt();
    profile_ = archive.value(kArchiveProfile).toString();
    useCbr_ = archive.value(kArchiveUseCbr).toBool();
    setWidth(archive.value(kArchiveWidth).toInt());
    setHeight(archive.value(kArchiveHeight).toInt());
    if (archive.contains(kArchiveResolutionOption))
        setResolutionOption(archive.value(kArchiveResolutionOption).toString());
}

AppleVTCompressor::~AppleVTCompressor() {
    reset();
}

bool AppleVTCompressor::supportHWH264() const {
    if (!services_) return false;
    for (const QVariantMap& encoder : services_->copyVideoEncoderList()) {
        if (encoder.value(kEncoderListEncoderID).toString().contains(QLatin1String("h264.gva")) ||
            encoder.value(kEncoderListEncoderName).toString().contains(QLatin1String("H.264 (HW)")))
            return true;
    }
    return false;
}

bool AppleVTCompressor::isOSSupportBGRA() const {
    return services_ && services_->acceptsBGRA(kCodecTypeH264);
}

bool AppleVTCompressor::useBGRAForJpecCodec() {
    if (!useBGRAForJpecCodec_) useBGRAForJpecCodec_ = services_ && services_->acceptsBGRA(kCodecTypeJPEG);
    return *useBGRAForJpecCodec_;
}

uint32_t AppleVTCompressor::getCodecType() const {
    const int w = working_width(), h = working_height();
    if (!bH264HWCodec_.load()) return kCodecTypeJPEG;
    if (w == 480 || w == 320 || w == 568) return kCodecTypeJPEG;
    if ((peerHardwareString_.startsWith(QLatin1String("iPad3")) ||
         peerHardwareString_.startsWith(QLatin1String("iPad2"))) &&
        (w > 2047 || h > 2047 || w > 1919))
        return kCodecTypeJPEG;
    if (w >= 4097 && h > 2304) return kCodecTypeJPEG;
    if (w < 3840) return kCodecTypeH264;
    if (h < 2400) return kCodecTypeH264;
    CompressorSettingsController* controller = settingsController();
    return controller && controller->captureFPS() > 30.0 ? kCodecTypeJPEG : kCodecTypeH264;
}

bool AppleVTCompressor::setupCompressor(const FramePtr& frame) {
    if (!settingsController() || !services_) return false;
    const int w = frame ? frame->width() : 0, h = frame ? frame->height() : 0;
    setWorking_width(w);
    setWorking_height(h);
    if (w == 0 || h == 0) {
        setErrored(true);
        return false;
    }
    const uint32_t codec = getCodecType();
    codecType_.store(codec);
    QVariantMap specification;
    if (codec == kCodecTypeH264)
        specification = {{kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder, true},
                         {kEncoderSpecificationRealTime, true}};
    if (session_) endSession(std::move(session_));

    OptError error;
    session_ = services_->createCompressionSession(
        w, h, CodecType(codec), specification,
        [this](std::shared_ptr<const void>, const OptError&, SamplePtr sample) { outputCallback(sample); },
        &error);
    if (!session_) {
        // Tried again at every frame until the stream stops: said once.
        if (!errored())
            qCWarning(lcVideo, "cannot start the %s encoder at %dx%d: %s", codecName(codec), w, h,
                      error ? qUtf8Printable(error->description) : "no reason given");
        setErrored(true);
        return false;
    }
    // Either kind of encoder serves the stream; which one is worth a line.
    const char* encoder = bH264HWCodec_.load() ? "" : ", no hardware H.264 encoder";
    if (codec == kCodecTypeH264)
        encoder = session_->copyProperty(kCompressionPropertyUsingHardwareAcceleratedVideoEncoder).toBool()
                      ? ", hardware encoder"
                      : ", software encoder";
    qCInfo(lcVideo, "stream started: %s, %dx%d%s", codecName(codec), w, h, encoder);
    if (codec == kCodecTypeH264) {
        session_->setProperty(kCompressionPropertyRealTime, true);
        session_->setProperty(kCompressionPropertyAllowFrameReordering, false);
    } else {
        if (bFineTune() || int64_t(w) * h > kJpegFullQualityPixels)
            session_->setProperty(kCompressionPropertyQuality, kLargeJpegQuality);
        session_->setProperty(kCompressionPropertyRealTime, true);
    }
    return true;
}

bool AppleVTCompressor::compressVideoFrame(const FramePtr& frame, MediaTime pts, MediaTime duration,
                                           bool keyFrame) {
    if (!hasOutputs() || !frame) return false;
    if (!session_ && !setupCompressor(frame)) return false;
    if (keyFrame) session_->requestKeyFrame();

    const bool convert = !bOSSupportBGRA_ || (codecType_.load() == kCodecTypeJPEG && !useBGRAForJpecCodec());
    if (!convert) return !session_->encodeFrame(frame, pts, duration, nullptr);

    if (!pixelTransfer_) pixelTransfer_ = services_->createPixelTransferSession();
    std::shared_ptr<PixelBuffer> converted =
        PixelBuffer::create(working_width(), working_height(), PixelBuffer::kYUVS);
    if (!pixelTransfer_ || !converted || pixelTransfer_->transferImage(*frame, *converted)) return false;
    // The converted picture rides along as the frame's context and goes when its callback is done.
    FramePtr image = converted;
    return !session_->encodeFrame(image, pts, duration, image);
}

void AppleVTCompressor::outputCallback(const SamplePtr& sample) {
    if (!sample) {
        // Dropped or failed in the encoder: its place in flight is free again.
        for (OutputDestination* output : std::as_const(outputs_))
            output->releaseFrame();
        return;
    }
    OutputDestination* destination = outputDest_.load();
    if (!destination) {
        // The outputs are fixed while a session runs (they change only with the clock stopped).
        for (OutputDestination* output : std::as_const(outputs_)) {
            destination = output;
            destination->setFrameType(codecType_.load() == kCodecTypeH264 ? kFrameTypeH264Video
                                                                          : kFrameTypeJPEGVideo);
        }
        outputDest_.store(destination);
    }
    if (destination) destination->sendEncodedData(sample, ptChannel_.load(), nullptr);
}

void AppleVTCompressor::endSession(std::unique_ptr<EncoderSession> session) {
    session->completeFrames();
    session->invalidate();
}

void AppleVTCompressor::reset() {
    if (!session_) return;
    qCInfo(lcVideo, "stream stopped: %s, %dx%d", codecName(codecType_.load()), working_width(),
           working_height());
    endSession(std::move(session_));
    setErrored(false);
    outputDest_.store(nullptr);
}

void AppleVTCompressor::setSize(double width, double height) {
    setWorking_width(int(width));
    setWorking_height(int(height));
}
