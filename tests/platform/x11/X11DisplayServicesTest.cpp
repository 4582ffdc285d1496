#include "platform/x11/X11DisplayServices.h"
#include "EdidBlock.h"
#include "display/ZDVirtualScreenController.h"
#include "fakes/PrivateXvfb.h"
#include "fakes/TestSupport.h"
#include "platform/x11/XConnection.h"

#include <gtest/gtest.h>

#include <cstring>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace {

using F = DisplayServices::ReconfigurationFlag;
using Changes = std::vector<std::pair<DisplayID, uint32_t>>;

// An Xvfb of the test's own, whose single output the test reconfigures through a second connection.
class PrivateDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xvfb.running()) GTEST_SKIP() << xvfb.failure().toStdString();
        OptError error;
        services = X11DisplayServices::open(xvfb.displayName(), &error);
        ASSERT_TRUE(services) << error->toString().toStdString();
        dpy = openXDisplay(xvfb.displayName().toLocal8Bit().constData());
        ASSERT_TRUE(dpy);
        root = DefaultRootWindow(dpy);
        res = XRRGetScreenResourcesCurrent(dpy, root);
        ASSERT_TRUE(res && res->noutput == 1 && res->ncrtc >= 1);
        output = res->outputs[0];
        crtc = res->crtcs[0];
        services->registerReconfigurationCallback(
            [this](DisplayID d, uint32_t f) { seen.emplace_back(d, f); });
    }
    void TearDown() override {
        if (res) XRRFreeScreenResources(res);
        if (dpy) XCloseDisplay(dpy);
    }

    RRMode addMode(int width, int height) {
        XRRModeInfo info;
        std::memset(&info, 0, sizeof info);
        QByteArray name = QByteArray::number(width) + "x" + QByteArray::number(height);
        info.width = unsigned(width);
        info.height = unsigned(height);
        info.hTotal = unsigned(width);
        info.vTotal = unsigned(height);
        info.dotClock = 60ul * unsigned(width) * unsigned(height);
        info.name = name.data();
        info.nameLength = unsigned(name.size());
        const RRMode mode = XRRCreateMode(dpy, root, &info);
        XRRAddOutputMode(dpy, output, mode);
        XSync(dpy, False);
        return mode;
    }
    bool setCrtc(RRMode mode, int width, int height) {
        XRRScreenResources* now = XRRGetScreenResourcesCurrent(dpy, root);
        const Status status =
            mode ? XRRSetCrtcConfig(dpy, now, crtc, CurrentTime, 0, 0, mode, RR_Rotate_0, &output, 1)
                 : XRRSetCrtcConfig(dpy, now, crtc, CurrentTime, 0, 0, 0, RR_Rotate_0, nullptr, 0);
        XRRFreeScreenResources(now);
        if (mode) XRRSetScreenSize(dpy, root, width, height, width / 4, height / 4);
        XSync(dpy, False);
        return status == RRSetConfigSuccess;
    }

    PrivateXvfb xvfb{1366, 1024};
    std::unique_ptr<X11DisplayServices> services;
    ::Display* dpy = nullptr;
    Window root = 0;
    XRRScreenResources* res = nullptr;
    RROutput output = 0;
    RRCrtc crtc = 0;
    Changes seen;
};

// What the server has: its one output, with its bounds and screen; of anything else nothing is known,
// and nothing changes when a display in no mirror set is unmirrored.
TEST_F(PrivateDisplay, ListsItsOutputAndRefusesWhatIsNoDisplay) {
    const DisplayID id = DisplayID(output);
    const QRectF root(0, 0, 1366, 1024);
    EXPECT_EQ(services->onlineDisplayList(15), std::vector<DisplayID>{id});
    EXPECT_TRUE(services->onlineDisplayList(0).empty());
    EXPECT_EQ(services->mainDisplayID(), id);
    EXPECT_EQ(services->bounds(id), root);
    EXPECT_EQ(services->screens(), std::vector<DisplayScreen>{(DisplayScreen{id, root})});
    EXPECT_EQ(services->mirrorsDisplay(id), 0u);
    EXPECT_EQ(services->bounds(12345), QRectF());
    EXPECT_TRUE(services->productName(12345).isNull());
    EXPECT_EQ(services->modelNumber(12345), 0u);

    EXPECT_EQ(services->configureDisplayMirrorOfDisplay(id, 0), std::nullopt);
    EXPECT_TRUE(services->configureDisplayMirrorOfDisplay(id, id)); // a display cannot mirror itself
    OptError error = services->configureDisplayMirrorOfDisplay(12345, 0);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kDisplayServicesErrorDomain);
    spinEventLoop(200);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(services->bounds(id), root);

    error.reset();
    EXPECT_FALSE(X11DisplayServices::open(QStringLiteral(":9876"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kDisplayServicesErrorDomain);
}

TEST_F(PrivateDisplay, ErrorTrapReportsOnlyTheErrorsOfItsOwnStretch) {
    threadLastXError() = 0;
    XMapWindow(dpy, 0x7ffffff); // no such window: an error before any trap
    {
        XErrorTrap trap(dpy);
        EXPECT_EQ(trap.sync(), std::nullopt);
        XUnmapWindow(dpy, 0x7fffffe);
        EXPECT_EQ(trap.sync(), std::optional<int>(BadWindow));
    }
    // The error from before the trap is the thread's record again, and nothing ended the process.
    EXPECT_EQ(threadLastXError(), BadWindow);
    threadLastXError() = 0;
}

// The server's own reports reach the callback with the flags of the change, and the display list follows.
TEST_F(PrivateDisplay, ModeChangesAndDisablingAndEnablingTheOutputAreReported) {
    ZDVirtualScreenController controller(*services);
    controller.registerDisplayCallback();
    const DisplayID id = DisplayID(output);
    ASSERT_EQ(controller.cloneDisplayID(), id);
    EXPECT_EQ(controller.onlineDisplays()[0].name, QStringLiteral("Display 1")); // Xvfb has no EDID
    const RRMode mode = addMode(1024, 768);
    ASSERT_TRUE(setCrtc(mode, 1024, 768));
    ASSERT_TRUE(waitUntil([&] { return !seen.empty(); }));
    spinEventLoop(200);
    EXPECT_EQ(seen, (Changes{{id, F::kSetModeFlag | F::kDesktopShapeChangedFlag}}));
    EXPECT_EQ(services->bounds(id), QRectF(0, 0, 1024, 768));

    seen.clear();
    if (!setCrtc(0, 0, 0)) GTEST_SKIP() << "this X server does not turn its only output off";
    ASSERT_TRUE(waitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, (Changes{{id, F::kRemoveFlag | F::kDisabledFlag}}));
    EXPECT_TRUE(controller.onlineDisplays().empty());
    EXPECT_TRUE(services->screens().empty());

    seen.clear();
    ASSERT_TRUE(setCrtc(mode, 1024, 768));
    ASSERT_TRUE(waitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, (Changes{{id, F::kAddFlag | F::kEnabledFlag}}));
    EXPECT_EQ(controller.onlineDisplays().size(), 1u);
}

TEST_F(PrivateDisplay, NameModelAndSerialComeFromTheMonitorsEdid) {
    const QByteArray edid = edidBlock("ZUB TEST 27", 0x6f21, 987654);
    XRRChangeOutputProperty(dpy, output, XInternAtom(dpy, "EDID", False), XA_INTEGER, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(edid.constData()), int(edid.size()));
    XSync(dpy, False);
    EXPECT_EQ(services->productName(DisplayID(output)), QStringLiteral("ZUB TEST 27"));
    EXPECT_EQ(services->modelNumber(DisplayID(output)), 0x6f21u);
    EXPECT_EQ(services->serialNumber(DisplayID(output)), 987654u);
    ZDVirtualScreenController controller(*services);
    ASSERT_EQ(controller.onlineDisplays().size(), 1u);
    EXPECT_EQ(controller.onlineDisplays()[0].name, QStringLiteral("ZUB TEST 27"));

    // A damaged EDID names nothing.
    QByteArray broken = edid;
    broken[127] = char(broken[127] + 1);
    XRRChangeOutputProperty(dpy, output, XInternAtom(dpy, "EDID", False), XA_INTEGER, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(broken.constData()), int(broken.size()));
    XSync(dpy, False);
    EXPECT_TRUE(services->productName(DisplayID(output)).isNull());
    EXPECT_EQ(services->modelNumber(DisplayID(output)), 0u);
}

} // namespace
