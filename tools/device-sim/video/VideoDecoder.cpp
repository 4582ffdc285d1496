#include "VideoDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}
#include <libyuv.h>
#include <turbojpeg.h>

#include <QtEndian>

namespace {

// No device shows more than this; a header claiming more is not worth the memory.
constexpr qint64 kLargestPicture = 5120 * 3200;

Error decodeError(int code, const QString& why) {
    return Error::make(QStringLiteral("VideoDecodeError"), code, why);
}

QByteArray annexB(const VideoPayload& payload) {
    static const QByteArray startCode("\0\0\0\1", 4);
    QByteArray out;
    out.reserve(payload.data.size() + payload.sps.size() + payload.pps.size() + 16);
    if (payload.form == VideoPayload::kH264KeyFrame) out += startCode + payload.sps + startCode + payload.pps;
    const char* p = payload.data.constData();
    qsizetype pos = 0;
    while (pos + 4 <= payload.data.size()) { // well-formed: checked by the parser
        const quint32 length = qFromBigEndian<quint32>(p + pos);
        out += startCode;
        out.append(p + pos + 4, qsizetype(length));
        pos += 4 + qsizetype(length);
    }
    return out;
}

} // namespace

struct VideoDecoder::Private {
    tjhandle jpeg = nullptr;
    AVCodecContext* h264 = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    bool sawKeyFrame = false;

    ~Private() {
        if (jpeg) tjDestroy(jpeg);
        avcodec_free_context(&h264);
        av_packet_free(&packet);
        av_frame_free(&frame);
    }
};

VideoDecoder::VideoDecoder() : d(std::make_unique<Private>()) {}
VideoDecoder::~VideoDecoder() = default;

QString VideoDecoder::codecName() const {
    if (lastType_ == kVideoFrameTypeH264) return QStringLiteral("H.264");
    if (lastType_ == kVideoFrameTypeJPEG) return QStringLiteral("JPEG");
    return {};
}

OptError VideoDecoder::decodeFrame(uint32_t frameType, uint32_t tag, const QByteArray& payload) {
    Error error;
    std::optional<VideoPayload> parsed = parseVideoPayload(frameType, tag, payload, &error);
    if (!parsed) return error;
    OptError result = parsed->form == VideoPayload::kJPEG ? decodeJPEG(parsed->data) : decodeH264(*parsed);
    if (!result) {
        ++pictures_;
        lastType_ = frameType;
    }
    return result;
}

OptError VideoDecoder::decodeJPEG(const QByteArray& picture) {
    if (!d->jpeg && !(d->jpeg = tjInitDecompress())) return decodeError(1, QStringLiteral("no JPEG decoder"));
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(picture.constData());
    if (tjDecompressHeader3(d->jpeg, bytes, (unsigned long)picture.size(), &width, &height, &subsampling,
                            &colorspace) != 0)
        return decodeError(2, QString::fromUtf8(tjGetErrorStr2(d->jpeg)));
    if (width <= 0 || height <= 0 || qint64(width) * height > kLargestPicture)
        return decodeError(3, QStringLiteral("JPEG of %1x%2 pixels").arg(width).arg(height));
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull()) return decodeError(3, QStringLiteral("no memory for %1x%2").arg(width).arg(height));
    if (tjDecompress2(d->jpeg, bytes, (unsigned long)picture.size(), image.bits(), width,
                      int(image.bytesPerLine()), height, TJPF_BGRX, TJFLAG_FASTDCT) != 0 &&
        tjGetErrorCode(d->jpeg) == TJERR_FATAL)
        return decodeError(4, QString::fromUtf8(tjGetErrorStr2(d->jpeg)));
    picture_ = std::move(image);
    return std::nullopt;
}

OptError VideoDecoder::decodeH264(const VideoPayload& payload) {
    if (!d->h264) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        if (!codec) return decodeError(5, QStringLiteral("no H.264 decoder"));
        av_log_set_level(AV_LOG_FATAL);
        d->h264 = avcodec_alloc_context3(codec);
        d->h264->flags |= AV_CODEC_FLAG_LOW_DELAY;
        d->h264->thread_count = 1; // one picture out for every picture in
        if (avcodec_open2(d->h264, codec, nullptr) < 0)
            return decodeError(5, QStringLiteral("H.264 decoder did not open"));
        d->packet = av_packet_alloc();
        d->frame = av_frame_alloc();
    }
    if (payload.form == VideoPayload::kH264KeyFrame) d->sawKeyFrame = true;
    if (!d->sawKeyFrame) return decodeError(6, QStringLiteral("H.264 stream does not open with a key frame"));

    QByteArray stream = annexB(payload);
    av_packet_unref(d->packet);
    d->packet->data = reinterpret_cast<uint8_t*>(stream.data());
    d->packet->size = int(stream.size());
    int rc = avcodec_send_packet(d->h264, d->packet);
    d->packet->data = nullptr;
    d->packet->size = 0;
    if (rc < 0) return decodeError(7, QStringLiteral("H.264 decoder refused the frame (%1)").arg(rc));
    rc = avcodec_receive_frame(d->h264, d->frame);
    if (rc < 0) return decodeError(8, QStringLiteral("H.264 frame gave no picture (%1)").arg(rc));
    const AVFrame* f = d->frame;
    QImage image(f->width, f->height, QImage::Format_RGB32);
    if (image.isNull())
        return decodeError(3, QStringLiteral("no memory for %1x%2").arg(f->width).arg(f->height));
    int converted = -1;
    if (f->format == AV_PIX_FMT_YUV420P)
        converted =
            libyuv::I420ToARGB(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2],
                               f->linesize[2], image.bits(), int(image.bytesPerLine()), f->width, f->height);
    else if (f->format == AV_PIX_FMT_YUVJ420P)
        converted =
            libyuv::J420ToARGB(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2],
                               f->linesize[2], image.bits(), int(image.bytesPerLine()), f->width, f->height);
    av_frame_unref(d->frame);
    if (converted != 0) return decodeError(9, QStringLiteral("H.264 picture in an unexpected format"));
    picture_ = std::move(image);
    return std::nullopt;
}

void VideoDecoder::restartStream() {
    d = std::make_unique<Private>();
}

OptError VideoDecoder::saveLastPicture(const QString& pngPath) const {
    if (picture_.isNull()) return decodeError(10, QStringLiteral("no picture yet"));
    if (!picture_.save(pngPath, "PNG"))
        return decodeError(11, QStringLiteral("cannot write %1").arg(pngPath));
    return std::nullopt;
}
