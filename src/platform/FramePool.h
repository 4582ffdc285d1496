#pragma once

#include "platform/PixelBuffer.h"

#include <atomic>
#include <memory>
#include <vector>

// A fixed set of equal pixel buffers that are handed out by reference and come back when the last
// reference goes, so that a steady stream of pictures allocates nothing: the reference count of every
// handed-out buffer lives in storage of its own slot. Any thread may drop a buffer; acquire() is meant
// for the one producing thread. The pool may be destroyed while buffers are out; they stay valid.
class FramePool {
public:
    static constexpr int kMaxCapacity = 64;

    // The buffers' contents are undefined at first and kept across reuse; untouched, a buffer costs
    // address space but no memory.
    FramePool(int width, int height, PixelBuffer::Format format, int capacity);
    ~FramePool();
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    bool isValid() const { return state_ != nullptr; }
    int width() const { return width_; }
    int height() const { return height_; }
    PixelBuffer::Format format() const { return format_; }
    int capacity() const;
    int freeCount() const;

    // A buffer nobody holds, or nullptr when all are out.
    std::shared_ptr<PixelBuffer> acquire();

    struct State;

private:
    int width_, height_;
    PixelBuffer::Format format_;
    std::shared_ptr<State> state_;
};
