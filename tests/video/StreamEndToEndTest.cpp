// The whole road of the picture on an X server of the test's own: a pattern drawn on the screen is
// captured, encoded, framed as the device receives it, decoded as the device decodes it, and compared.
#include "video/StreamController.h"

#include "../link/LinkTestSupport.h"
#include "VideoDecoder.h"
#include "fakes/FakeStreamHost.h"
#include "fakes/FakeSystemInfo.h"
#include "fakes/MapStreamDefaults.h"
#include "fakes/PrivateXvfb.h"
#include "fakes/TestSupport.h"
#include "link/PTChannel.h"
#include "platform/codec/LinuxEncoderServices.h"
#include "platform/x11/X11DisplayServices.h"
#include "platform/x11/X11DisplayStream.h"
#include "platform/x11/XConnection.h"
#include "video/AppleVTCompressor.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// After gtest: Xlib's macros (None, Bool) clash with its names.
#include <X11/Xlib.h>

namespace {

// Four coloured quarters on a grey ground, drawn on the root window of `display`.
void drawPattern(Display* dpy, int w, int h) {
    const Window root = DefaultRootWindow(dpy);
    GC gc = XCreateGC(dpy, root, 0, nullptr);
    const struct {
        int x, y;
        unsigned long rgb;
    } quarters[] = {{0, 0, 0xd02020}, {w / 2, 0, 0x20c040}, {0, h / 2, 0x2040d0}, {w / 2, h / 2, 0xf0f0f0}};
    for (const auto& q : quarters) {
        XSetForeground(dpy, gc, q.rgb);
        XFillRectangle(dpy, root, gc, q.x, q.y, unsigned(w / 2), unsigned(h / 2));
    }
    XFreeGC(dpy, gc);
    XSync(dpy, False);
}

bool near(QRgb pixel, unsigned long rgb, int tolerance) {
    return std::abs(qRed(pixel) - int((rgb >> 16) & 0xff)) <= tolerance &&
           std::abs(qGreen(pixel) - int((rgb >> 8) & 0xff)) <= tolerance &&
           std::abs(qBlue(pixel) - int(rgb & 0xff)) <= tolerance;
}

// Whether a decoded picture shows the pattern: the middle of each quarter, and a point near each
// quarter's inner corner, within the tolerance a low-quality encoding needs.
bool showsPattern(const QImage& picture) {
    const int w = picture.width(), h = picture.height();
    const struct {
        double fx, fy;
        unsigned long rgb;
    } probes[] = {{0.25, 0.25, 0xd02020}, {0.75, 0.25, 0x20c040}, {0.25, 0.75, 0x2040d0},
                  {0.75, 0.75, 0xf0f0f0}, {0.45, 0.45, 0xd02020}, {0.55, 0.45, 0x20c040},
                  {0.45, 0.55, 0x2040d0}, {0.55, 0.55, 0xf0f0f0}};
    for (const auto& p : probes)
        if (!near(picture.pixel(int(p.fx * w), int(p.fy * h)), p.rgb, 40)) return false;
    return true;
}

// The device's end of the road: the stream writes through a real channel on 127.0.0.1, and every frame
// is decoded on arrival, as the device does.
struct Device {
    TcpPair pair;
    VideoDecoder decoder;
    QStringList errors;
    std::vector<uint32_t> types;
    Device() {
        pair.serverDelegate.onFrame = [this](PTChannel*, const RecordingDelegate::Frame& f) {
            types.push_back(f.type);
            if (OptError e = decoder.decodeFrame(f.type, f.tag, f.payload)) errors << e->toString();
        };
    }
};

class StreamEndToEndTest : public ::testing::Test {
protected:
    static constexpr int kWidth = 1366, kHeight = 1024;

    void SetUp() override {
        xvfb_ = std::make_unique<PrivateXvfb>(kWidth, kHeight);
        if (!xvfb_->running()) GTEST_SKIP() << xvfb_->failure().toStdString();
        const QByteArray name = xvfb_->displayName().toLatin1();
        painter_ = openXDisplay(name.constData());
        ASSERT_TRUE(painter_);
        OptError error;
        displays_ = X11DisplayServices::open(xvfb_->displayName(), &error);
        if (!displays_) GTEST_SKIP() << (error ? error->toString().toStdString() : "no RandR");
        streams_ = std::make_unique<X11DisplayStreamFactory>(name);
        drawPattern(painter_, kWidth, kHeight);
    }
    void TearDown() override {
        if (painter_) XCloseDisplay(painter_);
    }

    std::unique_ptr<PrivateXvfb> xvfb_;
    Display* painter_ = nullptr;
    std::unique_ptr<X11DisplayServices> displays_;
    std::unique_ptr<X11DisplayStreamFactory> streams_;
};

// At the announced size, Retina by default: as JPEG where no hardware H.264 encoder is, as H.264 when the
// machine reports one (the codec decision then picks it; libx264 encodes).
TEST_F(StreamEndToEndTest, APatternOnTheScreenArrivesDecodedAtTheAnnouncedSize) {
    const struct {
        bool noRetina, hardware;
        const char *size, *codec;
        uint32_t type;
    } cases[] = {{false, false, "size:2732x2048", "JPEG", 108}, {true, true, "size:1366x1024", "H.264", 107}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec);
        FakeSystemInfo system;
        MapStreamDefaults defaults;
        FakeStreamHost host;
        Device device;
        defaults.setBool(c.noRetina, QStringLiteral("zubPadNoRetina"));
        StreamController stream(StreamController::Services{*streams_,
                                                           *displays_,
                                                           system,
                                                           defaults,
                                                           {},
                                                           std::make_shared<LinuxEncoderServices>(),
                                                           {},
                                                           {}},
                                &host);
        stream.activeCompressor()->setPtChannel(device.pair.client);
        stream.captureDestinations().back()->setChannel(1);
        if (c.hardware) stream.activeCompressor()->setBH264HWCodec(true);
        stream.resetResolution(displays_->mainDisplayID());
        stream.startStream();
        const bool arrived = waitUntil(
            [&] {
                device.pair.serverDelegate.frames.clear(); // the decoder keeps what it needs
                return !device.errors.isEmpty() ||
                       (!device.decoder.lastPicture().isNull() && showsPattern(device.decoder.lastPicture()));
            },
            20000);
        stream.stopStream();
        EXPECT_TRUE(device.errors.isEmpty()) << device.errors.join(QLatin1Char('\n')).toStdString();
        ASSERT_TRUE(arrived) << "no picture of the pattern reached the device";
        EXPECT_EQ(host.sent().front(), QString::fromLatin1(c.size));
        EXPECT_EQ(QStringLiteral("size:%1x%2")
                      .arg(device.decoder.lastPicture().width())
                      .arg(device.decoder.lastPicture().height()),
                  QString::fromLatin1(c.size));
        EXPECT_EQ(device.decoder.codecName(), QString::fromLatin1(c.codec));
        EXPECT_EQ(device.types.front(), c.type);
    }
}

} // namespace
