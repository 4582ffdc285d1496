#pragma once

#include "base/Error.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class IoChannel;
class MainQueue;

// The framing of the device link. A frame is a 16-byte header of four big-endian 32-bit words
// (version 1, type, tag, payload size) followed by the payload; type 0 ends the stream. Reads,
// writes and their callbacks all run on the main queue, so nothing here is locked.
class PTProtocol {
public:
    static constexpr uint32_t kVersion = 1;
    static constexpr size_t kHeaderSize = 16;
    // The device sends small dictionaries and texts. A header announcing more than this comes from a
    // broken or hostile peer, and the channel ends before anything is allocated for it.
    static constexpr uint32_t kMaxPayloadSize = 16 * 1024 * 1024;

    using Callback = std::function<void(const OptError&)>;
    // For an end of stream: no error and type, tag and size 0.
    using FrameCallback =
        std::function<void(const OptError&, uint32_t type, uint32_t tag, uint32_t payloadSize)>;
    // The payload shares the bytes read (no copy).
    using PayloadCallback = std::function<void(const OptError&, QByteArray payload)>;
    using DiscardCallback = std::function<void(const OptError&, bool endOfStream)>;
    using Resume = std::function<void()>;
    // `resume` reads the next header (call it at most once); it does nothing after a frame of type 0.
    using OnFrame = std::function<void(const OptError&, uint32_t type, uint32_t tag, uint32_t payloadSize,
                                       Resume resume)>;

    // The header and payload of one frame, written back to back; the payload is shared, not copied.
    struct FrameData {
        QByteArray header;
        QByteArray payload;
    };

    // The one protocol of the (main) queue, made on first use; every channel of the queue shares it,
    // and with it the tag counter.
    static std::shared_ptr<PTProtocol> sharedProtocolForQueue(MainQueue& queue);

    PTProtocol() = default;
    PTProtocol(const PTProtocol&) = delete;
    PTProtocol& operator=(const PTProtocol&) = delete;

    // 1 on first use, then counts up and wraps around at 32 bits.
    uint32_t newTag() { return ++nextFrameTag_; }

    static QByteArray headerWithFrameOfType(uint32_t type, uint32_t tag, uint32_t payloadSize);
    static FrameData createDispatchDataWithFrameOfType(uint32_t type, uint32_t tag,
                                                       const QByteArray& payload);

    // One write of header and payload. Without a channel the callback gets NSPOSIXErrorDomain ENOTCONN.
    void sendFrameOfType(uint32_t type, uint32_t tag, const QByteArray& payload, IoChannel* channel,
                         Callback callback);

    void readFrameOverChannel(IoChannel* channel, FrameCallback callback);
    // A payload cut short by the end of the stream is a "PTProtocolError", never handed on as complete.
    void readPayloadOfSize(size_t size, IoChannel* channel, PayloadCallback callback);
    // Drops `size` bytes, reading them in bounded pieces so that no large buffer is ever made.
    void readAndDiscardDataOfSize(size_t size, IoChannel* channel, DiscardCallback callback);
    // Reads headers one at a time: the next is read only when the consumer calls resume.
    void readFramesOverChannel(const std::shared_ptr<IoChannel>& channel, OnFrame onFrame);

    // Decodes a complete header; a "PTProtocolError" for any version but 1.
    static OptError decodeHeader(const char* bytes, uint32_t* type, uint32_t* tag, uint32_t* payloadSize);
    static Error protocolError(const QString& description);

private:
    uint32_t nextFrameTag_ = 0;
};
