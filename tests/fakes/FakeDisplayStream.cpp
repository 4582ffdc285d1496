#include "fakes/FakeDisplayStream.h"

#include <cstring>

FramePtr FakeDisplayStream::picture(uint8_t fill) const {
    auto buffer = PixelBuffer::create(width, height, PixelBuffer::kBGRA);
    if (buffer) std::memset(buffer->data(), fill, size_t(buffer->bytesPerRow()) * size_t(height));
    return buffer;
}

std::shared_ptr<DisplayStream> FakeDisplayStreamFactory::create(uint32_t displayID, const QRect& sourceBounds,
                                                                int outputWidth, int outputHeight,
                                                                PixelBuffer::Format format,
                                                                const DisplayStream::Properties& properties,
                                                                DisplayStream::Handler handler) {
    if (refuse) return nullptr;
    auto stream = std::make_shared<FakeDisplayStream>();
    stream->display = displayID;
    stream->source = sourceBounds;
    stream->width = outputWidth;
    stream->height = outputHeight;
    stream->format = format;
    stream->properties = properties;
    stream->handler = std::move(handler);
    stream->startResult = startResult;
    stream->stopReply = stopReply;
    made.push_back(stream);
    return stream;
}
