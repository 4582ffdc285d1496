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
        controller_.reset();
        if (painter_) XCloseDisplay(painter_);
    }

    // The stream writes through a real channel on 127.0.0.1; the device's end decodes every frame on
    // arrival, as the device does.
    StreamController& make() {
        pair_.serverDelegate.onFrame = [this](PTChannel*, const RecordingDelegate::Frame& f) {
            types_.push_back(f.type);
            if (OptError e = decoder_.decodeFrame(f.type, f.tag, f.payload)) decodeErrors_ << e->toString();
        };
        controller_ = std::make_unique<StreamController>(
            StreamController::Services{*streams_,
                                       *displays_,
                                       system_,
                                       defaults_,
                                       {},
                                       std::make_shared<LinuxEncoderServices>(),
                                       {},
                                       {}},
            &host_);
        controller_->activeCompressor()->setPtChannel(pair_.client);
        controller_->captureDestinations().back()->setChannel(1);
        return *controller_;
    }
    // Runs the event loop until the newest decoded picture satisfies `shows`.
    bool waitForPicture(const std::function<bool(const QImage&)>& shows) {
        return waitUntil(
            [&] {
                pair_.serverDelegate.frames.clear(); // the decoder keeps what it needs
                return !decodeErrors_.isEmpty() ||
                       (!decoder_.lastPicture().isNull() && shows(decoder_.lastPicture()));
            },
            20000);
    }

    // Streams until the device side has decoded a picture showing the pattern; returns that picture.
    QImage streamUntilPatternArrives(StreamController& c) {
        c.resetResolution(displays_->mainDisplayID());
        c.startStream();
        const bool arrived = waitForPicture(showsPattern);
        c.stopStream();
        EXPECT_TRUE(decodeErrors_.isEmpty()) << decodeErrors_.join(QLatin1Char('\n')).toStdString();
        return arrived ? decoder_.lastPicture() : QImage();
    }

    std::unique_ptr<PrivateXvfb> xvfb_;
    Display* painter_ = nullptr;
    std::unique_ptr<X11DisplayServices> displays_;
    std::unique_ptr<X11DisplayStreamFactory> streams_;
    FakeSystemInfo system_;
    MapStreamDefaults defaults_;
    FakeStreamHost host_;
    TcpPair pair_;
    VideoDecoder decoder_;
    QStringList decodeErrors_;
    std::vector<uint32_t> types_;
    std::unique_ptr<StreamController> controller_;
};

TEST_F(StreamEndToEndTest, APatternArrivesAsJPEGAtTheAnnouncedRetinaSize) {
    StreamController& c = make();
    const QImage shown = streamUntilPatternArrives(c);
    ASSERT_FALSE(shown.isNull()) << "no picture of the pattern reached the device";
    EXPECT_EQ(host_.sent().front(), QStringLiteral("size:2732x2048"));
    EXPECT_EQ(shown.size(), QSize(2732, 2048)) << "decoded at the announced size";
    EXPECT_EQ(decoder_.codecName(), QStringLiteral("JPEG")) << "no hardware H.264 encoder here";
    EXPECT_EQ(types_.front(), 108u);
}

TEST_F(StreamEndToEndTest, APatternArrivesAsH264WhenTheMachineReportsAHardwareEncoder) {
    defaults_.setBool(true, QStringLiteral("zubPadNoRetina"));
    StreamController& c = make();
    c.activeCompressor()->setBH264HWCodec(true); // the codec decision then picks H.264
    const QImage shown = streamUntilPatternArrives(c);
    ASSERT_FALSE(shown.isNull()) << "no picture of the pattern reached the device";
    EXPECT_EQ(host_.sent().front(), QStringLiteral("size:1366x1024"));
    EXPECT_EQ(shown.size(), QSize(1366, 1024));
    EXPECT_EQ(decoder_.codecName(), QStringLiteral("H.264"));
    EXPECT_EQ(types_.front(), 107u);
}

} // namespace
