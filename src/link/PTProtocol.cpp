#include "link/PTProtocol.h"

#include "base/MainQueue.h"
#include "link/IoChannel.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>

namespace {

// Refused payloads are read and dropped in pieces of this size, whatever size the header announced.
constexpr size_t kDiscardChunk = 64 * 1024;

void readHeader(IoChannel* channel, PTProtocol::FrameCallback callback) {
    channel->read(PTProtocol::kHeaderSize, [callback = std::move(callback)](int err, QByteArray data, bool) {
        if (err) return callback(Error::posix(err), 0, 0, 0);
        // Nothing at all before the end: the peer closed between frames, which is a clean end.
        if (data.isEmpty()) return callback(std::nullopt, 0, 0, 0);
        if (size_t(data.size()) < PTProtocol::kHeaderSize)
            return callback(PTProtocol::protocolError(
                                QStringLiteral("frame header cut short: %1 of 16 bytes").arg(data.size())),
                            0, 0, 0);
        uint32_t type = 0, tag = 0, payloadSize = 0;
        if (OptError e = PTProtocol::decodeHeader(data.constData(), &type, &tag, &payloadSize))
            return callback(e, 0, 0, 0);
        callback(std::nullopt, type, tag, payloadSize);
    });
}

void frameLoop(const std::shared_ptr<IoChannel>& channel, std::shared_ptr<PTProtocol::OnFrame> onFrame) {
    std::weak_ptr<IoChannel> weak = channel;
    readHeader(channel.get(),
               [weak, onFrame](const OptError& error, uint32_t type, uint32_t tag, uint32_t size) {
                   PTProtocol::Resume resume;
                   if (type != 0) {
                       resume = [weak, onFrame]() {
                           if (auto channel = weak.lock()) frameLoop(channel, onFrame);
                       };
                   } else {
                       resume = []() {};
                   }
                   (*onFrame)(error, type, tag, size, std::move(resume));
               });
}

struct Discard {
    IoChannel* channel;
    size_t left;
    PTProtocol::DiscardCallback callback;
};

void discardNext(std::shared_ptr<Discard> d) {
    const size_t piece = std::min(d->left, kDiscardChunk);
    // The handler runs while its channel is alive (the channel holds itself for the call), so the
    // next piece can be asked of the same channel from inside it.
    d->channel->read(piece, [d, piece](int err, QByteArray data, bool eof) {
        if (err) return d->callback(Error::posix(err), false);
        if (eof && size_t(data.size()) < piece) return d->callback(std::nullopt, true);
        d->left -= piece;
        if (d->left == 0) return d->callback(std::nullopt, false);
        discardNext(d);
    });
}

} // namespace

std::shared_ptr<PTProtocol> PTProtocol::sharedProtocolForQueue(MainQueue&) {
    // There is one queue, the main queue; its protocol lives as long as the process.
    static const std::shared_ptr<PTProtocol> shared = std::make_shared<PTProtocol>();
    return shared;
}

Error PTProtocol::protocolError(const QString& description) {
    return Error::make(kPTProtocolErrorDomain, 0, description);
}

QByteArray PTProtocol::headerWithFrameOfType(uint32_t type, uint32_t tag, uint32_t payloadSize) {
    QByteArray header(qsizetype(kHeaderSize), Qt::Uninitialized);
    char* p = header.data();
    qToBigEndian<uint32_t>(kVersion, p);
    qToBigEndian<uint32_t>(type, p + 4);
    qToBigEndian<uint32_t>(tag, p + 8);
    qToBigEndian<uint32_t>(payloadSize, p + 12);
    return header;
}

PTProtocol::FrameData PTProtocol::createDispatchDataWithFrameOfType(uint32_t type, uint32_t tag,
                                                                    const QByteArray& payload) {
    return FrameData{headerWithFrameOfType(type, tag, uint32_t(payload.size())), payload};
}

OptError PTProtocol::decodeHeader(const char* bytes, uint32_t* type, uint32_t* tag, uint32_t* payloadSize) {
    const uint32_t version = qFromBigEndian<uint32_t>(bytes);
    if (version != kVersion)
        return protocolError(QStringLiteral("unsupported frame version %1").arg(version));
    *type = qFromBigEndian<uint32_t>(bytes + 4);
    *tag = qFromBigEndian<uint32_t>(bytes + 8);
    *payloadSize = qFromBigEndian<uint32_t>(bytes + 12);
    return std::nullopt;
}

void PTProtocol::sendFrameOfType(uint32_t type, uint32_t tag, const QByteArray& payload, IoChannel* channel,
                                 Callback callback) {
    if (!channel) {
        // A channel still waiting for its connection has nowhere to write; say so rather than stay silent.
        if (callback) callback(Error::posix(ENOTCONN));
        return;
    }
    if (size_t(payload.size()) > UINT32_MAX) {
        if (callback) callback(Error::posix(EMSGSIZE));
        return;
    }
    FrameData frame = createDispatchDataWithFrameOfType(type, tag, payload);
    IoChannel::WriteHandler done;
    if (callback)
        done = [callback = std::move(callback)](int err) {
            callback(err ? OptError(Error::posix(err)) : std::nullopt);
        };
    channel->write(std::move(frame.header), std::move(frame.payload), std::move(done));
}

void PTProtocol::readFrameOverChannel(IoChannel* channel, FrameCallback callback) {
    readHeader(channel, std::move(callback));
}

void PTProtocol::readPayloadOfSize(size_t size, IoChannel* channel, PayloadCallback callback) {
    channel->read(size, [size, callback = std::move(callback)](int err, QByteArray data, bool) {
        if (err) return callback(Error::posix(err), {});
        if (size_t(data.size()) < size)
            return callback(
                protocolError(
                    QStringLiteral("frame payload cut short: %1 of %2 bytes").arg(data.size()).arg(size)),
                {});
        callback(std::nullopt, std::move(data));
    });
}

void PTProtocol::readAndDiscardDataOfSize(size_t size, IoChannel* channel, DiscardCallback callback) {
    if (size == 0) {
        // Nothing to read; still answer from the queue, like every other completion.
        mainQueue().async([callback = std::move(callback)]() { callback(std::nullopt, false); });
        return;
    }
    discardNext(std::make_shared<Discard>(Discard{channel, size, std::move(callback)}));
}

void PTProtocol::readFramesOverChannel(const std::shared_ptr<IoChannel>& channel, OnFrame onFrame) {
    frameLoop(channel, std::make_shared<OnFrame>(std::move(onFrame)));
}
