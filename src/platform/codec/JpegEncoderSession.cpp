#include "platform/codec/EncoderSessions.h"
#include "platform/codec/EncoderWorker.h"

#include <libyuv.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>

int jpegQualityFor(double sessionQuality) {
    if (!(sessionQuality >= 0.0)) return kDefaultJpegQuality; // NaN
    return std::clamp(int(std::lround(sessionQuality * 100.0)), 1, 100);
}

namespace {

// 'yuvs' pictures carry video-range values (Y 16..235, Cb/Cr 16..240); JPEG decoders read full range.
struct RangeTables {
    std::array<uint8_t, 256> luma, chroma;
    RangeTables() {
        for (int v = 0; v < 256; ++v) {
            luma[v] = uint8_t(std::clamp(int(std::lround((v - 16) * 255.0 / 219.0)), 0, 255));
            chroma[v] = uint8_t(std::clamp(int(std::lround((v - 128) * 255.0 / 224.0 + 128.0)), 0, 255));
        }
    }
};

class JpegSession final : public EncoderSession {
public:
    JpegSession(tjhandle handle, int width, int height, OutputCallback callback)
        : handle_(handle), width_(width), height_(height), worker_("ZubEncoder.jpeg", std::move(callback)) {
        worker_.start([this](EncoderWorker::Job& job) { encode(job); });
    }
    ~JpegSession() override {
        worker_.invalidate();
        if (buffer_) tjFree(buffer_);
        tjDestroy(handle_);
    }

    OptError setProperty(const QString& key, const QVariant& value) override {
        if (key == kCompressionPropertyQuality) {
            bool ok = false;
            const double q = value.toDouble(&ok);
            if (!ok || q < 0.0 || q > 1.0)
                return Error::make(kEncoderErrorDomain, kEncoderErrorInvalidArgument,
                                   QStringLiteral("quality must lie in 0..1"));
            quality_.store(jpegQualityFor(q));
            return std::nullopt;
        }
        // Every picture is encoded on its own, at once: real time, never reordered.
        if (key == kCompressionPropertyRealTime && value.toBool()) return std::nullopt;
        if (key == kCompressionPropertyAllowFrameReordering && !value.toBool()) return std::nullopt;
        return Error::make(kEncoderErrorDomain, kEncoderErrorPropertyNotSupported, key);
    }
    QVariant copyProperty(const QString& key) const override {
        if (key == kCompressionPropertyUsingHardwareAcceleratedVideoEncoder) return false;
        if (key == kCompressionPropertyQuality) return quality_.load() / 100.0;
        if (key == kCompressionPropertyRealTime) return true;
        return {};
    }
    OptError encodeFrame(FramePtr image, MediaTime pts, MediaTime duration,
                         std::shared_ptr<const void> frameContext) override {
        return worker_.submit({std::move(image), pts, duration, std::move(frameContext)});
    }
    void completeFrames() override { worker_.completeFrames(); }
    void invalidate() override { worker_.invalidate(); }

private:
    void encode(EncoderWorker::Job& job) {
        const PixelBuffer& image = *job.image;
        OptError error;
        if (image.width() != width_ || image.height() != height_)
            error = Error::make(kEncoderErrorDomain, kEncoderErrorInvalidArgument,
                                QStringLiteral("picture %1x%2 in a %3x%4 session")
                                    .arg(image.width())
                                    .arg(image.height())
                                    .arg(width_)
                                    .arg(height_));
        unsigned long size = 0;
        if (!error)
            error = image.format() == PixelBuffer::kBGRA ? compressBGRA(image, &size)
                                                         : compressYUVS(image, &size);
        if (error) {
            worker_.report(std::move(job.frameContext), error, nullptr);
            return;
        }
        job.image.reset();
        auto sample = std::make_shared<EncodedSample>();
        sample->data = QByteArray(reinterpret_cast<const char*>(buffer_), qsizetype(size));
        sample->pts = job.pts;
        sample->duration = job.duration;
        worker_.report(std::move(job.frameContext), std::nullopt, std::move(sample));
    }

    // The output buffer is sized once for the worst case and reused, so TurboJPEG never reallocates.
    unsigned char* outputBuffer(int subsampling, unsigned long* size) {
        const unsigned long needed = tjBufSize(width_, height_, subsampling);
        if (needed > bufferSize_) {
            if (buffer_) tjFree(buffer_);
            buffer_ = tjAlloc(int(needed));
            bufferSize_ = buffer_ ? needed : 0;
        }
        *size = bufferSize_;
        return buffer_;
    }

    OptError failure() const {
        return Error::make(kEncoderErrorDomain, kEncoderErrorEncodeFailed,
                           QString::fromUtf8(tjGetErrorStr2(handle_)));
    }

    OptError compressBGRA(const PixelBuffer& image, unsigned long* size) {
        unsigned char* out = outputBuffer(TJSAMP_420, size);
        if (!out) return failure();
        if (tjCompress2(handle_, image.data(), width_, image.bytesPerRow(), height_, TJPF_BGRA, &out, size,
                        TJSAMP_420, quality_.load(), TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0)
            return failure();
        return std::nullopt;
    }

    OptError compressYUVS(const PixelBuffer& image, unsigned long* size) {
        const int chromaWidth = (width_ + 1) / 2;
        const size_t lumaBytes = size_t(width_) * size_t(height_);
        const size_t chromaBytes = size_t(chromaWidth) * size_t(height_);
        planes_.resize(lumaBytes + 2 * chromaBytes);
        uint8_t* y = planes_.data();
        uint8_t* u = y + lumaBytes;
        uint8_t* v = u + chromaBytes;
        if (libyuv::YUY2ToI422(image.data(), image.bytesPerRow(), y, width_, u, chromaWidth, v, chromaWidth,
                               width_, height_) != 0)
            return Error::make(kEncoderErrorDomain, kEncoderErrorInvalidArgument,
                               QStringLiteral("conversion failed"));
        static const RangeTables tables;
        for (size_t i = 0; i < lumaBytes; ++i)
            y[i] = tables.luma[y[i]];
        for (size_t i = 0; i < 2 * chromaBytes; ++i)
            u[i] = tables.chroma[u[i]];
        const unsigned char* planes[3] = {y, u, v};
        const int strides[3] = {width_, chromaWidth, chromaWidth};
        unsigned char* out = outputBuffer(TJSAMP_422, size);
        if (!out) return failure();
        if (tjCompressFromYUVPlanes(handle_, planes, width_, strides, height_, TJSAMP_422, &out, size,
                                    quality_.load(), TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0)
            return failure();
        return std::nullopt;
    }

    tjhandle handle_;
    const int width_, height_;
    std::atomic<int> quality_{kDefaultJpegQuality};
    unsigned char* buffer_ = nullptr;
    unsigned long bufferSize_ = 0;
    std::vector<uint8_t> planes_;
    EncoderWorker worker_;
};

} // namespace

std::unique_ptr<EncoderSession> createJpegSession(int width, int height,
                                                  EncoderSession::OutputCallback callback, OptError* error) {
    if (width <= 0 || height <= 0) {
        if (error)
            *error =
                Error::make(kEncoderErrorDomain, kEncoderErrorInvalidArgument, QStringLiteral("empty size"));
        return nullptr;
    }
    tjhandle handle = tjInitCompress();
    if (!handle) {
        if (error)
            *error = Error::make(kEncoderErrorDomain, kEncoderErrorNoEncoder,
                                 QString::fromUtf8(tjGetErrorStr2(nullptr)));
        return nullptr;
    }
    return std::make_unique<JpegSession>(handle, width, height, std::move(callback));
}
