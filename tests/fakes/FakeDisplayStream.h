#pragma once

#include "platform/DisplayStream.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

// A display stream driven by the test: it records what it was asked, and the test delivers pictures
// and statuses through deliver(), from whatever thread plays the capture queue.
class FakeDisplayStream final : public DisplayStream {
public:
    enum class StopReply {
        kNow,   // stop() reports the stopped status before it returns
        kLater, // the test calls deliverStopped() itself
        kNever, // the stream never confirms
    };

    uint32_t display = 0;
    QRect source;
    int width = 0, height = 0;
    PixelBuffer::Format format = PixelBuffer::kBGRA;
    Properties properties;

    int32_t startResult = kSuccess;
    int32_t stopResult = kSuccess;
    StopReply stopReply = StopReply::kNow;
    std::atomic<int> starts{0}, stops{0}, refreshes{0};

    int32_t start() override {
        ++starts;
        return startResult;
    }
    int32_t stop() override {
        ++stops;
        if (stopResult == kSuccess && stopReply == StopReply::kNow) deliverStopped();
        return stopResult;
    }
    void refresh() override { ++refreshes; }

    void deliver(FrameStatus status, FramePtr frame = nullptr, uint64_t displayTime = 0) {
        handler(status, displayTime, std::move(frame));
    }
    void deliverStopped() { deliver(kStopped); }
    // A BGRA picture of this stream's size, filled with one value.
    FramePtr picture(uint8_t fill) const;

    Handler handler;
};

class FakeDisplayStreamFactory final : public DisplayStreamFactory {
public:
    std::shared_ptr<DisplayStream> create(uint32_t displayID, const QRect& sourceBounds, int outputWidth,
                                          int outputHeight, PixelBuffer::Format format,
                                          const DisplayStream::Properties& properties,
                                          DisplayStream::Handler handler) override;

    // Every stream made, in order; the factory keeps them so that tests can reach old ones.
    std::vector<std::shared_ptr<FakeDisplayStream>> made;
    std::shared_ptr<FakeDisplayStream> last() const { return made.empty() ? nullptr : made.back(); }
    // When set, create() fails as a stream that is not permitted.
    bool refuse = false;
    // Applied to every new stream.
    int32_t startResult = DisplayStream::kSuccess;
    FakeDisplayStream::StopReply stopReply = FakeDisplayStream::StopReply::kNow;
    int creations() const { return int(made.size()); }
};
