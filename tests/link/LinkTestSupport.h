#pragma once

#include "base/Error.h"
#include "link/PTChannel.h"

#include <QByteArray>
#include <functional>
#include <memory>
#include <vector>

// Remembers everything a channel tells its delegate.
struct RecordingDelegate : PTChannelDelegate {
    struct Frame {
        uint32_t type, tag;
        bool hasPayload;
        QByteArray payload;
    };
    uint8_t operations = kShouldAcceptFrame | kDidEndWithError | kDidAcceptConnection;
    std::function<bool(PTChannel*, uint32_t type, uint32_t size)> accept;
    std::function<void(PTChannel*, const Frame&)> onFrame;
    std::vector<Frame> frames;
    std::vector<uint32_t> asked; // payload sizes offered to shouldAccept
    int ends = 0;
    OptError endError;
    std::vector<std::shared_ptr<PTChannel>> accepted;

    uint8_t implementedOperations() const override { return operations; }
    void ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                             const PTData* payload) override;
    bool ioFrameChannelShouldAcceptFrameOfType(PTChannel* channel, uint32_t type, uint32_t,
                                               uint32_t payloadSize) override;
    void ioFrameChannelDidEndWithError(PTChannel*, const OptError& error) override;
    void ioFrameChannelDidAcceptConnection(PTChannel*, std::shared_ptr<PTChannel> channel,
                                           const PTAddress&) override;
};

// "nil", or the error as "domain code" (and ": description" when `withText`), for one-line checks.
std::string errorText(const OptError& error, bool withText = false);

// Raw bytes of one frame, built by hand so the tests do not lean on the code under test.
QByteArray rawFrame(uint32_t type, uint32_t tag, const QByteArray& payload, uint32_t version = 1);
QByteArray rawFrameHeader(uint32_t version, uint32_t type, uint32_t tag, uint32_t payloadSize);

// Whatever has arrived on `fd` so far, without blocking; a socket or a pipe.
QByteArray readAvailable(int fd);
// Writes all of `bytes` to a socket, running the event loop while it is full; until `stop` holds.
void sendAll(int fd, const QByteArray& bytes, const std::function<bool()>& stop = {});

// A socketpair whose one end is read by a PTChannel; the test writes raw bytes into the other.
struct RawPeer {
    int fd = -1;
    std::shared_ptr<PTChannel> channel;
    explicit RawPeer(PTChannelDelegate* delegate);
    ~RawPeer();
    void send(const QByteArray& bytes) { sendAll(fd, bytes); }
    void hangUp();
    // Whether the channel's side has closed the connection.
    bool closedByChannel();
};

// A listening channel on 127.0.0.1 and a client connected to it, with the accepted end.
struct TcpPair {
    RecordingDelegate serverDelegate, clientDelegate;
    std::shared_ptr<PTChannel> server, client;
    std::shared_ptr<PTChannel> accepted; // the server's end of the connection
    TcpPair();
};
