#include "video/OutputDestination.h"
#include "fakes/FakeEncoderServices.h"
#include "fakes/TestSupport.h"
#include "video/AppleVTCompressor.h"

#include <QtEndian>
#include <gtest/gtest.h>

namespace {

struct SentFrame {
    uint32_t type;
    uint32_t tag;
    QByteArray payload;
};

quint32 word(const QByteArray& bytes, int at) {
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}
QByteArray hex(const QByteArray& bytes, int at, int n) {
    return bytes.mid(at, n).toHex(' ');
}

// A destination bound to a compressor, opened for sending on a USB channel; frames it writes are
// recorded, and each write completes with `nextResult`.
struct Harness {
    std::shared_ptr<FakeEncoderServices> services = std::make_shared<FakeEncoderServices>();
    std::shared_ptr<AppleVTCompressor> compressor = std::make_shared<AppleVTCompressor>(services);
    std::vector<SentFrame> sent;
    OptError nextResult;
    std::shared_ptr<PTChannel> channel{reinterpret_cast<PTChannel*>(0x1), [](PTChannel*) {}};
    OutputDestination destination{QStringLiteral("file"),
                                  [this](const std::shared_ptr<PTChannel>&, uint32_t type, uint32_t tag,
                                         const QByteArray& payload, OutputDestination::Completion done) {
                                      sent.push_back({type, tag, payload});
                                      done(nextResult);
                                  }};

    Harness() {
        destination.setDestination(QStringLiteral("/tmp/t.flv"));
        destination.setCompressor(compressor);
        destination.setChannel(1);
        destination.setActive(true);
    }
    void send(const SamplePtr& sample, int32_t frameType) {
        destination.setFrameType(frameType);
        destination.sendEncodedData(sample, channel, nullptr);
    }
};

TEST(OutputDestinationPayload, JpegPictureIsWrappedInOneUnit) {
    uint32_t tag = 99;
    const SamplePtr sample = makeSample(1000);
    const QByteArray p = OutputDestination::videoPayload(kFrameTypeJPEGVideo, *sample, &tag);
    ASSERT_EQ(p.size(), 1013);
    EXPECT_EQ(tag, 0u);
    EXPECT_EQ(hex(p, 0, 13), QByteArray("ed 03 00 00 01 00 00 00 00 00 00 01 21"));
    EXPECT_EQ(p.mid(13), sample->data);
}

TEST(OutputDestinationPayload, H264KeyFrameCarriesParameterSetsInOrder) {
    const QByteArray sps(10, '\x67'), pps(4, '\x68');
    const SamplePtr sample = makeSample(5000, false, {sps, pps});
    uint32_t tag = 0;
    const QByteArray p = OutputDestination::videoPayload(kFrameTypeH264Video, *sample, &tag);
    ASSERT_EQ(p.size(), 5037);
    EXPECT_EQ(tag, kKeyFrameTag);
    EXPECT_EQ(word(p, 0), 5029u);
    EXPECT_EQ(word(p, 4), 1u);
    EXPECT_EQ(hex(p, 8, 5), QByteArray("00 00 00 01 27"));
    EXPECT_EQ(p.mid(13, 10), sps);
    EXPECT_EQ(hex(p, 23, 5), QByteArray("00 00 00 01 28"));
    EXPECT_EQ(p.mid(28, 4), pps);
    EXPECT_EQ(hex(p, 32, 5), QByteArray("00 00 00 01 25"));
    EXPECT_EQ(p.mid(37), sample->data);
}

TEST(OutputDestinationPayload, KeyFrameIsReadFromTheFirstAttachment) {
    const std::vector<QByteArray> sets{QByteArray("\x67\x42", 2), QByteArray("\x68\xce", 2)};
    struct Case {
        const char* what;
        SamplePtr sample;
        bool key;
    } cases[] = {
        {"NotSync true", makeSample(50, true, sets), false},
        {"NotSync false", makeSample(50, false, sets), true},
        {"attachment without NotSync", makeSample(50, std::nullopt, sets), true},
        {"no attachments", makeSample(50, std::nullopt, sets, false), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(OutputDestination::isKeyFrame(*c.sample), c.key);
        uint32_t tag = 0;
        const QByteArray p = OutputDestination::videoPayload(kFrameTypeH264Video, *c.sample, &tag);
        EXPECT_EQ(tag, c.key ? kKeyFrameTag : 0u);
        EXPECT_EQ(uint8_t(p[12]), c.key ? 0x27 : 0x21);
        EXPECT_EQ(word(p, 0), quint32(p.size() - 8));
    }
}

TEST(OutputDestinationPayload, KeyFrameWithoutParameterSetsGoesOutWhole) {
    // Were it written in the key-frame form, the length would count bytes that are not there.
    for (const std::vector<QByteArray>& sets :
         {std::vector<QByteArray>{}, {QByteArray("\x67\x42", 2)}, {QByteArray(), QByteArray("\x68", 1)}}) {
        SCOPED_TRACE(sets.size());
        const SamplePtr sample = makeSample(300, false, sets);
        uint32_t tag = 7;
        const QByteArray p = OutputDestination::videoPayload(kFrameTypeH264Video, *sample, &tag);
        ASSERT_EQ(p.size(), 313);
        EXPECT_EQ(tag, 0u);
        EXPECT_EQ(word(p, 0), 305u);
        EXPECT_EQ(uint8_t(p[12]), 0x21);
        EXPECT_EQ(p.mid(13), sample->data);
    }
}

TEST(OutputDestinationSend, SendsOnlyWhenOpenActiveAndOnUSB) {
    Harness h;
    h.send(makeSample(20), kFrameTypeJPEGVideo);
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].type, 108u);
    EXPECT_EQ(h.sent[0].payload.size(), 33);

    h.destination.setChannel(0);
    h.send(makeSample(20), kFrameTypeJPEGVideo);
    h.destination.setChannel(1);
    h.destination.sendEncodedData(makeSample(20), nullptr, nullptr);
    h.destination.reset(); // stopped
    h.send(makeSample(20), kFrameTypeJPEGVideo);
    EXPECT_EQ(h.sent.size(), 1u);

    h.destination.setupCompressor();
    h.send(makeSample(20), kFrameTypeJPEGVideo);
    EXPECT_EQ(h.sent.size(), 2u);

    h.destination.setActive(false);
    h.send(makeSample(20), kFrameTypeJPEGVideo);
    EXPECT_EQ(h.sent.size(), 2u);
    EXPECT_TRUE(h.destination.stopped());
}

TEST(OutputDestinationSend, FailedSendStopsTheStreamUntilTheNextStart) {
    Harness h;
    h.nextResult = Error::posix(EPIPE);
    h.send(makeSample(20, false, {QByteArray("\x67", 1), QByteArray("\x68", 1)}), kFrameTypeH264Video);
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].tag, kKeyFrameTag);
    EXPECT_TRUE(h.destination.stopped());
    h.nextResult.reset();
    h.send(makeSample(20, true), kFrameTypeH264Video);
    EXPECT_EQ(h.sent.size(), 1u);

    // Stream start: reset, then bind again.
    h.destination.reset();
    h.destination.setupCompressor();
    h.send(makeSample(20, true), kFrameTypeH264Video);
    ASSERT_EQ(h.sent.size(), 2u);
    EXPECT_EQ(h.sent[1].tag, 0u);
}

TEST(OutputDestinationSend, OtherFrameTypesGoOutWithoutPayload) {
    Harness h;
    h.send(makeSample(20), 104);
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].type, 104u);
    EXPECT_TRUE(h.sent[0].payload.isEmpty());
}

TEST(OutputDestinationBinding, ActiveBindsAndInactiveUnbinds) {
    Harness h;
    EXPECT_EQ(h.compressor->outputs().value(QStringLiteral("/tmp/t.flv")), &h.destination);
    EXPECT_FALSE(h.destination.stopped());
    h.destination.setActive(false);
    EXPECT_FALSE(h.compressor->hasOutputs());
    h.destination.setActive(true);
    EXPECT_TRUE(h.compressor->hasOutputs());
}

TEST(OutputDestinationBinding, ErroredCompressorTurnsTheDestinationRed) {
    Harness h;
    EXPECT_EQ(h.destination.textColor(), QColor(Qt::black));
    h.compressor->setErrored(true);
    // The colour changes on the main queue, not on the thread that reported the error.
    EXPECT_EQ(h.destination.textColor(), QColor(Qt::black));
    EXPECT_TRUE(waitUntil([&] { return h.destination.textColor() == QColor(Qt::red); }));
}

} // namespace
