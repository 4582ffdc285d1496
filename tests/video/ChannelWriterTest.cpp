#include "../link/LinkTestSupport.h"
#include "fakes/FakeEncoderServices.h"
#include "fakes/TestSupport.h"
#include "video/OutputDestination.h"

#include <QtEndian>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>

namespace {

// Reads whatever the channel has written so far.
QByteArray drain(int fd) {
    QByteArray out;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        out.append(buffer, n);
    return out;
}

struct Wire {
    RecordingDelegate delegate;
    RawPeer peer{&delegate};
    OutputDestination destination{QStringLiteral("file"), OutputDestination::channelWriter()};

    Wire() {
        destination.setDestination(QStringLiteral("/tmp/t.flv"));
        destination.setChannel(1);
        destination.setActive(true); // no compressor bound: opened all the same
        destination.setFrameType(kFrameTypeH264Video);
    }
    // Sends from another thread, as the encoder's callback does.
    void sendFromEncoderThread(const SamplePtr& sample) {
        std::thread encoder([&] { destination.sendEncodedData(sample, peer.channel, nullptr); });
        encoder.join();
    }
};

TEST(ChannelWriter, VideoFramesReachTheWireInOrder) {
    Wire w;
    const std::vector<QByteArray> sets{QByteArray("\x67\x42\x00\x1f", 4), QByteArray("\x68\xce", 2)};
    w.sendFromEncoderThread(makeSample(3000, false, sets));
    w.sendFromEncoderThread(makeSample(700, true));
    QByteArray wire;
    ASSERT_TRUE(waitUntil([&] {
        wire += drain(w.peer.fd);
        return wire.size() >= 16 + 3029 + 16 + 713;
    }));
    ASSERT_EQ(wire.size(), 16 + 3029 + 16 + 713);
    // Big-endian frame header, then the little-endian video prefix.
    auto be = [&](int at) { return qFromBigEndian<quint32>(wire.constData() + at); };
    auto le = [&](int at) { return qFromLittleEndian<quint32>(wire.constData() + at); };
    EXPECT_EQ(be(0), 1u);
    EXPECT_EQ(be(4), 107u);
    EXPECT_EQ(be(8), 100u);
    EXPECT_EQ(be(12), 3029u);
    EXPECT_EQ(le(16), 3021u);
    EXPECT_EQ(uint8_t(wire[16 + 12]), 0x27);
    const int second = 16 + 3029;
    EXPECT_EQ(be(second + 8), 0u);
    EXPECT_EQ(be(second + 12), 713u);
    EXPECT_EQ(uint8_t(wire[second + 16 + 12]), 0x21);
    EXPECT_FALSE(w.destination.stopped());
}

TEST(ChannelWriter, AFailedWriteStopsTheDestination) {
    Wire w;
    w.peer.hangUp();
    w.sendFromEncoderThread(makeSample(100, true));
    EXPECT_TRUE(waitUntil([&] { return w.destination.stopped(); }));
}

// The destination counts the pictures in flight by their completions: one that never came would
// hold the picture queue shut for good.
TEST(ChannelWriter, AChannelGoneBeforeTheWriteIsSkippedAndSaysSo) {
    Wire w;
    std::vector<int> completions;
    OutputDestination::channelWriter()(w.peer.channel, 108, 0, QByteArray("x"),
                                       [&](const OptError& e) { completions.push_back(e ? e->code : 0); });
    w.peer.channel.reset();
    spinEventLoop(50);
    EXPECT_EQ(completions, std::vector<int>{ENOTCONN});
}

} // namespace
