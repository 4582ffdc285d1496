#include "../link/LinkTestSupport.h"
#include "CompressorHarness.h"
#include "fakes/TestSupport.h"

#include <QtEndian>
#include <gtest/gtest.h>
#include <thread>

namespace {

QByteArray le32(quint32 v) {
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian(v, out.data());
    return out;
}
// One unit of the device's video payload: a start code, the unit's type byte, its bytes.
QByteArray unit(char type, const QByteArray& bytes) {
    return QByteArray::fromHex("00000001") + type + bytes;
}

// The harness's destination opened for sending, with one call to hand it a sample of a frame type.
struct Harness : CompressorHarness {
    Harness() { open(); }
    void send(const SamplePtr& sample, int32_t frameType = kFrameTypeJPEGVideo) {
        destination.setFrameType(frameType);
        destination.sendEncodedData(sample, channel, nullptr);
    }
};

// The payload is the length of the units, a count of one, then the units. A key frame is read from the
// first attachment and goes out with its parameter sets; without both of them it goes out as a plain
// picture, since the key-frame form would count bytes that are not there.
TEST(OutputDestinationPayload, PicturesAreWrappedInTheDevicesUnits) {
    const QByteArray sps(10, '\x67'), pps(4, '\x68');
    const std::vector<QByteArray> sets{sps, pps};
    struct Case {
        const char* what;
        int32_t type;
        SamplePtr sample;
        bool keyFrame;
        bool keyForm; // the SPS, PPS, key-frame form, tagged as a key frame
    } cases[] = {
        {"JPEG", kFrameTypeJPEGVideo, makeSample(1000, false, sets), true, false},
        {"NotSync false", kFrameTypeH264Video, makeSample(5000, false, sets), true, true},
        {"attachment without NotSync", kFrameTypeH264Video, makeSample(50, std::nullopt, sets), true, true},
        {"NotSync true", kFrameTypeH264Video, makeSample(50, true, sets), false, false},
        {"no attachments", kFrameTypeH264Video, makeSample(50, std::nullopt, sets, false), false, false},
        {"no parameter sets", kFrameTypeH264Video, makeSample(300, false), true, false},
        {"one parameter set", kFrameTypeH264Video, makeSample(300, false, {sps}), true, false},
        {"an empty parameter set", kFrameTypeH264Video, makeSample(300, false, {QByteArray(), pps}), true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(OutputDestination::isKeyFrame(*c.sample), c.keyFrame);
        const QByteArray units = c.keyForm ? unit(0x27, sps) + unit(0x28, pps) + unit(0x25, c.sample->data)
                                           : unit(0x21, c.sample->data);
        uint32_t tag = 99;
        EXPECT_EQ(OutputDestination::videoPayload(c.type, *c.sample, &tag).toHex(),
                  (le32(quint32(units.size())) + le32(1) + units).toHex());
        EXPECT_EQ(tag, c.keyForm ? kKeyFrameTag : 0u);
    }
}

// Frames go out only while the destination is open, active, not stopped and on USB with a channel; a
// frame type that is not a picture goes out bare. A failed send stops the stream until the next start
// (a reset, then the compressor bound again).
TEST(OutputDestinationSend, SendsOnlyWhenOpenActiveAndOnUSBAndStopsAfterAFailure) {
    Harness h;
    h.send(makeSample(20));
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].type, 108u);
    EXPECT_EQ(h.sent[0].payload.size(), 33);
    h.destination.setChannel(0);
    h.send(makeSample(20));
    h.destination.setChannel(1);
    h.destination.sendEncodedData(makeSample(20), nullptr, nullptr);
    h.destination.reset();
    h.send(makeSample(20));
    EXPECT_EQ(h.sent.size(), 1u);
    h.destination.setupCompressor();
    h.send(makeSample(20), 104);
    ASSERT_EQ(h.sent.size(), 2u);
    EXPECT_EQ(h.sent[1].type, 104u);
    EXPECT_TRUE(h.sent[1].payload.isEmpty());

    h.nextResult = Error::posix(EPIPE);
    h.send(makeSample(20, false, {QByteArray("\x67", 1), QByteArray("\x68", 1)}), kFrameTypeH264Video);
    ASSERT_EQ(h.sent.size(), 3u);
    EXPECT_EQ(h.sent[2].tag, kKeyFrameTag);
    EXPECT_TRUE(h.destination.stopped());
    h.nextResult.reset();
    h.send(makeSample(20));
    EXPECT_EQ(h.sent.size(), 3u);
    h.destination.reset();
    h.destination.setupCompressor();
    h.send(makeSample(20));
    EXPECT_EQ(h.sent.size(), 4u);
    h.destination.setActive(false);
    h.send(makeSample(20));
    EXPECT_EQ(h.sent.size(), 4u);
    EXPECT_TRUE(h.destination.stopped());
}

// The live writer, on a real channel: sent from the encoder's thread, the frame is written on the main
// thread; a failed write stops the destination, and a channel gone before the write is skipped and says
// so (the destination counts the pictures in flight by their completions: one that never came would
// hold the picture queue shut for good). The wire form itself is read by the device in the picture road.
TEST(ChannelWriter, AFailedOrImpossibleWriteIsReported) {
    RecordingDelegate delegate;
    RawPeer peer(&delegate);
    OutputDestination destination(QStringLiteral("file"), OutputDestination::channelWriter());
    destination.setChannel(1);
    destination.setActive(true); // no compressor bound: opened all the same
    destination.setFrameType(kFrameTypeJPEGVideo);
    peer.hangUp();
    std::thread encoder([&] { destination.sendEncodedData(makeSample(100), peer.channel, nullptr); });
    encoder.join();
    EXPECT_TRUE(waitUntil([&] { return destination.stopped(); }));

    std::vector<std::string> completions;
    OutputDestination::channelWriter()(peer.channel, 108, 0, QByteArray("x"),
                                       [&](const OptError& e) { completions.push_back(errorText(e)); });
    peer.channel.reset();
    spinEventLoop(50);
    EXPECT_EQ(completions, std::vector<std::string>{"NSPOSIXErrorDomain " + std::to_string(ENOTCONN)});
}

} // namespace
