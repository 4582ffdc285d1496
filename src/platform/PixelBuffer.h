#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// A picture in memory, handed from capture to encoder by reference, never copied on the way.
// Rows are `bytesPerRow` apart; BGRA is 4 bytes a pixel (B, G, R, A), 'yuvs' is 4:2:2 Y0 Cb Y1 Cr.
class PixelBuffer {
public:
    enum Format : uint32_t {
        kBGRA = 0x42475241, // 'BGRA'
        kYUVS = 0x79757673, // 'yuvs'
    };

    // Memory of its own, rows 64-byte aligned.
    static std::shared_ptr<PixelBuffer> create(int width, int height, Format format);
    // Over memory someone else owns (a shared-memory segment, a pool slot); `release` runs when the
    // last reference goes.
    PixelBuffer(int width, int height, int bytesPerRow, Format format, uint8_t* data, std::function<void()> release);
    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    int bytesPerRow() const { return bytesPerRow_; }
    Format format() const { return format_; }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }

private:
    int width_, height_, bytesPerRow_;
    Format format_;
    uint8_t* data_;
    std::function<void()> release_;
};

using FramePtr = std::shared_ptr<const PixelBuffer>;
