#include "platform/PixelBuffer.h"

#include <cstdlib>

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height, Format format) {
    if (width <= 0 || height <= 0) return nullptr;
    const int bytesPerPixel = format == kBGRA ? 4 : 2;
    const int bytesPerRow = (width * bytesPerPixel + 63) & ~63;
    void* memory = std::aligned_alloc(64, size_t(bytesPerRow) * size_t(height));
    if (!memory) return nullptr;
    return std::make_shared<PixelBuffer>(width, height, bytesPerRow, format, static_cast<uint8_t*>(memory),
                                         [memory]() { std::free(memory); });
}

PixelBuffer::PixelBuffer(int width, int height, int bytesPerRow, Format format, uint8_t* data,
                         std::function<void()> release)
    : width_(width), height_(height), bytesPerRow_(bytesPerRow), format_(format), data_(data),
      release_(std::move(release)) {}

PixelBuffer::~PixelBuffer() {
    if (release_) release_();
}
