#include "base/Logging.h"
#include "platform/codec/EncoderSessions.h"
#include "platform/codec/EncoderWorker.h"
#include "platform/codec/H264Units.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}
#include <libyuv.h>

#include <QHash>
#include <QSet>
#include <atomic>
#include <deque>
#include <mutex>

namespace {

// Presentation times reach the encoder in microseconds.
constexpr int kTimeBase = 1000000;
// A key frame every two seconds at the usual rate: a decoder that lost its place is back soon, and
// the stream is not swamped by intra pictures.
constexpr int kKeyFrameInterval = 60;

Error avError(int code, const QString& what) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return Error::make(kEncoderErrorDomain, kEncoderErrorEncodeFailed,
                       QStringLiteral("%1: %2").arg(what, QString::fromUtf8(text)));
}

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct BufferRefDeleter {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtrAV = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

bool offers(const AVCodec* codec, AVPixelFormat format) {
    for (const AVPixelFormat* f = codec->pix_fmts; f && *f != AV_PIX_FMT_NONE; ++f)
        if (*f == format) return true;
    return false;
}

// An opened encoder and what it needs fed: the software picture format, and for encoders that only
// take device memory, the pool to upload into.
struct OpenedEncoder {
    CodecContextPtr context;
    AVPixelFormat softwareFormat = AV_PIX_FMT_NONE;
    BufferRefPtr hardwareFrames;
    bool hardware = false;
};

std::optional<OpenedEncoder> openEncoder(const QString& name, int width, int height, QString* why) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name.toUtf8().constData());
    if (!codec) {
        *why = QStringLiteral("%1 is not built in").arg(name);
        return std::nullopt;
    }
    OpenedEncoder opened;
    opened.hardware = name != kSoftwareH264Encoder;
    opened.context.reset(avcodec_alloc_context3(codec));
    AVCodecContext* c = opened.context.get();
    // 4:2:0 needs even sizes; an odd column or row is filled from its neighbour.
    c->width = (width + 1) & ~1;
    c->height = (height + 1) & ~1;
    c->time_base = AVRational{1, kTimeBase};
    c->framerate = AVRational{30, 1};
    c->gop_size = kKeyFrameInterval;
    c->max_b_frames = 0; // every picture leaves the encoder in order, at once
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_LOW_DELAY;
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_BT470BG;
    c->color_primaries = AVCOL_PRI_BT470BG;
    c->color_trc = AVCOL_TRC_SMPTE170M;

    AVDictionary* options = nullptr;
    if (name == kSoftwareH264Encoder) {
        av_dict_set(&options, "preset", "ultrafast", 0);
        av_dict_set(&options, "tune", "zerolatency", 0);
    } else if (name.endsWith(QLatin1String("nvenc"))) {
        av_dict_set(&options, "preset", "p1", 0);
        av_dict_set(&options, "tune", "ull", 0);
        av_dict_set(&options, "zerolatency", "1", 0);
    } else if (name.endsWith(QLatin1String("qsv"))) {
        av_dict_set(&options, "async_depth", "1", 0);
        av_dict_set(&options, "low_power", "1", 0);
    } else if (name.endsWith(QLatin1String("vaapi"))) {
        av_dict_set(&options, "async_depth", "1", 0);
    }

    if (offers(codec, AV_PIX_FMT_YUV420P)) {
        opened.softwareFormat = AV_PIX_FMT_YUV420P;
    } else if (offers(codec, AV_PIX_FMT_NV12)) {
        opened.softwareFormat = AV_PIX_FMT_NV12;
    } else if (offers(codec, AV_PIX_FMT_VAAPI)) {
        AVBufferRef* device = nullptr;
        if (int rc = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0); rc < 0) {
            *why = avError(rc, name).description;
            av_dict_free(&options);
            return std::nullopt;
        }
        BufferRefPtr deviceRef(device);
        opened.hardwareFrames.reset(av_hwframe_ctx_alloc(device));
        auto* frames = reinterpret_cast<AVHWFramesContext*>(opened.hardwareFrames->data);
        frames->format = AV_PIX_FMT_VAAPI;
        frames->sw_format = AV_PIX_FMT_NV12;
        frames->width = c->width;
        frames->height = c->height;
        frames->initial_pool_size = 4;
        if (int rc = av_hwframe_ctx_init(opened.hardwareFrames.get()); rc < 0) {
            *why = avError(rc, name).description;
            av_dict_free(&options);
            return std::nullopt;
        }
        c->hw_frames_ctx = av_buffer_ref(opened.hardwareFrames.get());
        opened.softwareFormat = AV_PIX_FMT_NV12;
    } else {
        *why = QStringLiteral("%1 takes no picture format we make").arg(name);
        av_dict_free(&options);
        return std::nullopt;
    }
    c->pix_fmt = opened.hardwareFrames ? AV_PIX_FMT_VAAPI : opened.softwareFormat;

    const int rc = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (rc < 0) {
        *why = avError(rc, name).description;
        return std::nullopt;
    }
    return opened;
}

// libavcodec reports every failed probe of absent hardware at length; only real errors go to the log.
void quietLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

class H264Session final : public EncoderSession {
public:
    H264Session(OpenedEncoder encoder, int width, int height, OutputCallback callback)
        : encoder_(std::move(encoder)), width_(width), height_(height),
          worker_("ZubEncoder.h264", std::move(callback)) {
        const AVCodecContext* c = encoder_.context.get();
        const h264::ParameterSets sets =
            h264::parameterSetsFromExtradata(reinterpret_cast<const char*>(c->extradata), c->extradata_size);
        if (!sets.sps.empty()) sps_ = sets.sps.front();
        if (!sets.pps.empty()) pps_ = sets.pps.front();
        frame_.reset(av_frame_alloc());
        frame_->format = encoder_.softwareFormat;
        frame_->width = c->width;
        frame_->height = c->height;
        frame_->color_range = AVCOL_RANGE_MPEG;
        frame_->colorspace = AVCOL_SPC_BT470BG;
        packet_.reset(av_packet_alloc());
        worker_.start([this](EncoderWorker::Job& job) { encode(job); }, [this] { finish(); });
    }
    ~H264Session() override { worker_.invalidate(); }

    OptError setProperty(const QString& key, const QVariant& value) override {
        // The encoder is opened for real time without reordering; those are the only settings asked of it.
        if (key == kCompressionPropertyRealTime && value.toBool()) return std::nullopt;
        if (key == kCompressionPropertyAllowFrameReordering && !value.toBool()) return std::nullopt;
        return Error::make(kEncoderErrorDomain, kEncoderErrorPropertyNotSupported, key);
    }
    QVariant copyProperty(const QString& key) const override {
        if (key == kCompressionPropertyUsingHardwareAcceleratedVideoEncoder) return encoder_.hardware;
        if (key == kCompressionPropertyRealTime) return true;
        if (key == kCompressionPropertyAllowFrameReordering) return false;
        return {};
    }
    OptError encodeFrame(FramePtr image, MediaTime pts, MediaTime duration,
                         std::shared_ptr<const void> frameContext) override {
        return worker_.submit({std::move(image), pts, duration, std::move(frameContext)});
    }
    void completeFrames() override { worker_.completeFrames(); }
    void invalidate() override { worker_.invalidate(); }
    void requestKeyFrame() override { keyFrameRequested_.store(true); }

private:
    struct InFlight {
        int64_t pts;
        MediaTime duration;
        std::shared_ptr<const void> frameContext;
    };

    // Worker thread from here on.
    void encode(EncoderWorker::Job& job) {
        if (OptError error = fillFrame(*job.image)) {
            worker_.report(std::move(job.frameContext), error, nullptr);
            return;
        }
        // The encoder insists on rising times; equal times (a repeated slot) are nudged forward.
        int64_t pts =
            job.pts.isValid() ? av_rescale(job.pts.value, kTimeBase, job.pts.timescale) : lastPts_ + 1;
        if (havePts_ && pts <= lastPts_) pts = lastPts_ + 1;
        lastPts_ = pts;
        havePts_ = true;
        frame_->pts = pts;
        frame_->pict_type = keyFrameRequested_.exchange(false) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        job.image.reset(); // the picture is converted: its buffer can go back to capture

        AVFrame* input = frame_.get();
        FramePtrAV uploaded;
        if (encoder_.hardwareFrames) {
            uploaded.reset(av_frame_alloc());
            int rc = av_hwframe_get_buffer(encoder_.hardwareFrames.get(), uploaded.get(), 0);
            if (rc >= 0) rc = av_hwframe_transfer_data(uploaded.get(), frame_.get(), 0);
            if (rc < 0) {
                worker_.report(std::move(job.frameContext), avError(rc, QStringLiteral("upload")), nullptr);
                return;
            }
            uploaded->pts = pts;
            uploaded->pict_type = frame_->pict_type;
            input = uploaded.get();
        }
        inFlight_.push_back({pts, job.duration, std::move(job.frameContext)});
        if (int rc = avcodec_send_frame(encoder_.context.get(), input); rc < 0) {
            InFlight lost = std::move(inFlight_.back());
            inFlight_.pop_back();
            worker_.report(std::move(lost.frameContext), avError(rc, QStringLiteral("encode")), nullptr);
            return;
        }
        drain();
    }

    // Takes every packet the encoder has ready.
    void drain() {
        while (!inFlight_.empty() && avcodec_receive_packet(encoder_.context.get(), packet_.get()) >= 0) {
            deliver(*packet_);
            av_packet_unref(packet_.get());
        }
    }

    // The session ends: whatever the encoder still holds comes out, and a picture it swallowed
    // without a packet is reported dropped.
    void finish() {
        if (!inFlight_.empty() && avcodec_send_frame(encoder_.context.get(), nullptr) >= 0) drain();
        while (!inFlight_.empty()) {
            worker_.report(
                std::move(inFlight_.front().frameContext),
                Error::make(kEncoderErrorDomain, kEncoderErrorFrameDropped, QStringLiteral("session ended")),
                nullptr);
            inFlight_.pop_front();
        }
    }

    void deliver(const AVPacket& packet) {
        // Pictures come out in the order they went in; one packet finishes the oldest in flight.
        InFlight done = std::move(inFlight_.front());
        inFlight_.pop_front();

        std::vector<QByteArray> units =
            h264::splitAnnexB(reinterpret_cast<const char*>(packet.data), packet.size);
        std::vector<QByteArray> kept;
        kept.reserve(units.size());
        for (QByteArray& unit : units) {
            switch (h264::unitType(unit)) {
            case h264::kSPS:
                sps_ = std::move(unit);
                break;
            case h264::kPPS:
                pps_ = std::move(unit);
                break;
            case h264::kAUD:
                break;
            default:
                kept.push_back(std::move(unit));
            }
        }
        auto sample = std::make_shared<EncodedSample>();
        sample->data = h264::lengthPrefixed(kept);
        sample->attachments.push_back(SampleAttachment{!(packet.flags & AV_PKT_FLAG_KEY)});
        if (!sps_.isEmpty() && !pps_.isEmpty()) sample->parameterSets = {sps_, pps_};
        sample->pts = MediaTime{packet.pts != AV_NOPTS_VALUE ? packet.pts : done.pts, kTimeBase};
        sample->duration = done.duration;
        worker_.report(std::move(done.frameContext), std::nullopt, std::move(sample));
    }

    OptError fillFrame(const PixelBuffer& image) {
        if (image.width() != width_ || image.height() != height_)
            return Error::make(kEncoderErrorDomain, kEncoderErrorInvalidArgument,
                               QStringLiteral("picture %1x%2 in a %3x%4 session")
                                   .arg(image.width())
                                   .arg(image.height())
                                   .arg(width_)
                                   .arg(height_));
        // The encoder may still hold the previous picture; then this one gets a buffer of its own.
        if (int rc = frame_->data[0] ? av_frame_make_writable(frame_.get())
                                     : av_frame_get_buffer(frame_.get(), 64);
            rc < 0)
            return avError(rc, QStringLiteral("picture buffer"));
        uint8_t** d = frame_->data;
        const int* s = frame_->linesize;
        int rc = -1;
        const bool bgra = image.format() == PixelBuffer::kBGRA;
        if (encoder_.softwareFormat == AV_PIX_FMT_YUV420P)
            rc = bgra ? libyuv::ARGBToI420(image.data(), image.bytesPerRow(), d[0], s[0], d[1], s[1], d[2],
                                           s[2], width_, height_)
                      : libyuv::YUY2ToI420(image.data(), image.bytesPerRow(), d[0], s[0], d[1], s[1], d[2],
                                           s[2], width_, height_);
        else if (bgra)
            rc = libyuv::ARGBToNV12(image.data(), image.bytesPerRow(), d[0], s[0], d[1], s[1], width_,
                                    height_);
        else
            rc = libyuv::YUY2ToNV12(image.data(), image.bytesPerRow(), d[0], s[0], d[1], s[1], width_,
                                    height_);
        if (rc != 0)
            return Error::make(kEncoderErrorDomain, kEncoderErrorInvalidArgument,
                               QStringLiteral("conversion failed"));
        padOddEdges();
        return std::nullopt;
    }

    // Fills the column and row an odd size leaves over in the luma plane (the chroma planes already
    // cover them).
    void padOddEdges() {
        uint8_t* y = frame_->data[0];
        const int stride = frame_->linesize[0];
        if (width_ & 1)
            for (int row = 0; row < height_; ++row)
                y[row * stride + width_] = y[row * stride + width_ - 1];
        if (height_ & 1) memcpy(y + height_ * stride, y + (height_ - 1) * stride, size_t(frame_->width));
    }

    OpenedEncoder encoder_;
    const int width_, height_;
    FramePtrAV frame_;
    PacketPtr packet_;
    std::deque<InFlight> inFlight_;
    QByteArray sps_, pps_;
    int64_t lastPts_ = 0;
    bool havePts_ = false;
    // Set on the frame clock's thread, taken by the next picture encoded.
    std::atomic<bool> keyFrameRequested_{false};
    EncoderWorker worker_; // last: its thread stops before the members it uses go
};

// "hardware encoder failed -> libx264", once per cause: a stream that starts again says nothing new.
void sayFallback(const QString& used, int width, int height, const QStringList& reasons) {
    static std::mutex mutex;
    static QSet<QString> said;
    const QString cause = reasons.join(QStringLiteral("; "));
    {
        std::lock_guard lock(mutex);
        if (said.contains(cause + used)) return;
        said.insert(cause + used);
    }
    qCWarning(lcPlatform, "H.264 at %dx%d: %s; using %s instead", width, height, qUtf8Printable(cause),
              qUtf8Printable(used));
}

} // namespace

const QStringList& hardwareH264Encoders() {
    static const QStringList names = {QStringLiteral("h264_vaapi"), QStringLiteral("h264_nvenc"),
                                      QStringLiteral("h264_qsv"), QStringLiteral("h264_v4l2m2m")};
    return names;
}

bool h264EncoderOpens(const QString& name) {
    static std::mutex mutex;
    static QHash<QString, bool> known;
    quietLibraryLog();
    std::lock_guard lock(mutex);
    auto it = known.find(name);
    if (it != known.end()) return *it;
    QString why;
    const bool opens = openEncoder(name, 640, 480, &why).has_value();
    if (!opens)
        qCDebug(lcPlatform, "H.264 encoder %s does not open: %s", qUtf8Printable(name), qUtf8Printable(why));
    known.insert(name, opens);
    return opens;
}

std::unique_ptr<EncoderSession> createH264Session(int width, int height, const QStringList& encoders,
                                                  EncoderSession::OutputCallback callback, OptError* error) {
    quietLibraryLog();
    if (width <= 0 || height <= 0) {
        if (error)
            *error =
                Error::make(kEncoderErrorDomain, kEncoderErrorInvalidArgument, QStringLiteral("empty size"));
        return nullptr;
    }
    QStringList reasons;
    for (const QString& name : encoders) {
        QString why;
        if (std::optional<OpenedEncoder> opened = openEncoder(name, width, height, &why)) {
            if (!reasons.isEmpty()) sayFallback(name, width, height, reasons);
            return std::make_unique<H264Session>(std::move(*opened), width, height, std::move(callback));
        }
        reasons << why;
    }
    if (error)
        *error = Error::make(
            kEncoderErrorDomain, kEncoderErrorNoEncoder,
            QStringLiteral("no H.264 encoder opened (%1)").arg(reasons.join(QStringLiteral("; "))));
    return nullptr;
}
