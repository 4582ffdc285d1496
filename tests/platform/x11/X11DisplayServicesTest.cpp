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

// The shared display of the test run: only looked at, never changed.
class SharedDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "no X display (DISPLAY is not set)";
        OptError error;
        services = X11DisplayServices::open({}, &error);
        if (!services) GTEST_SKIP() << error->toString().toStdString();
    }
    std::unique_ptr<X11DisplayServices> services;
};

TEST_F(SharedDisplay, ListsTheRootDisplayWithItsBoundsAndScreen) {
    const std::vector<DisplayID> ids = services->onlineDisplayList(15);
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(services->mainDisplayID(), ids.front());
    EXPECT_TRUE(services->onlineDisplayList(0).empty());

    ::Display* dpy = XOpenDisplay(nullptr);
    ASSERT_TRUE(dpy);
    const QRect root(0, 0, DisplayWidth(dpy, DefaultScreen(dpy)), DisplayHeight(dpy, DefaultScreen(dpy)));
    XCloseDisplay(dpy);
    const QRectF main = services->bounds(ids.front());
    EXPECT_GT(main.width(), 0);
    EXPECT_TRUE(root.contains(main.toRect())) << main.width() << "x" << main.height();

    const std::vector<DisplayScreen> screens = services->screens();
    ASSERT_FALSE(screens.empty());
    EXPECT_EQ(screens.front().screenNumber, ids.front());
    EXPECT_EQ(screens.front().frame, QRectF(main.x(), 0, main.width(), main.height()));
    EXPECT_EQ(services->mirrorsDisplay(ids.front()), 0u);
    // Not a display: nothing known about it.
    EXPECT_EQ(services->bounds(12345), QRectF());
    EXPECT_TRUE(services->productName(12345).isNull());
    EXPECT_EQ(services->modelNumber(12345), 0u);
}

TEST_F(SharedDisplay, UnmirroringADisplayInNoMirrorSetChangesNothing) {
    Changes seen;
    services->registerReconfigurationCallback([&](DisplayID d, uint32_t f) { seen.emplace_back(d, f); });
    const DisplayID main = services->mainDisplayID();
    const QRectF before = services->bounds(main);
    EXPECT_EQ(services->configureDisplayMirrorOfDisplay(main, 0), std::nullopt);
    spinEventLoop(200);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(services->bounds(main), before);

    const OptError unknown = services->configureDisplayMirrorOfDisplay(12345, 0);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->domain, kDisplayServicesErrorDomain);
    EXPECT_TRUE(services->configureDisplayMirrorOfDisplay(main, main)); // a display cannot mirror itself
}

TEST_F(SharedDisplay, ErrorTrapReportsOnlyTheErrorsOfItsOwnStretch) {
    ::Display* dpy = openXDisplay();
    ASSERT_TRUE(dpy);
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
    XCloseDisplay(dpy);
}

TEST(X11DisplayServices, MissingDisplayIsAnError) {
    OptError error;
    EXPECT_FALSE(X11DisplayServices::open(QStringLiteral(":9876"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kDisplayServicesErrorDomain);
}

// An Xvfb of the test's own, whose single output the test reconfigures through a second connection.
class PrivateDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xvfb.running()) GTEST_SKIP() << xvfb.failure().toStdString();
        OptError error;
        services = X11DisplayServices::open(xvfb.displayName(), &error);
        ASSERT_TRUE(services) << error->toString().toStdString();
        dpy = XOpenDisplay(xvfb.displayName().toLocal8Bit().constData());
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
