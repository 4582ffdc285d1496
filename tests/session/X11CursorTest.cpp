// The cursor forwarded from a real X server of the test's own: the pointer moved with XTest, the
// cursor's picture and visibility read through XFixes, movements heard through XInput 2.
#include "SessionFakes.h"

#include "fakes/PrivateXvfb.h"
#include "platform/x11/X11CursorSource.h"
#include "platform/x11/X11EventMonitor.h"
#include "platform/x11/XConnection.h"
#include "session/CursorForwarder.h"

#include <QElapsedTimer>
#include <QImage>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>

namespace {

constexpr int kRootWidth = 1366, kRootHeight = 1024;
// The streamed screen away from the origin, bottom-left-origin space: X's x 300..1100, y 200..800.
const QRectF kZubScreen(300, 224, 800, 600);

class X11CursorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xvfb.running()) GTEST_SKIP() << "no X server: " << xvfb.failure().toStdString();
        dpy = openXDisplay(xvfb.displayName());
        ASSERT_NE(dpy, nullptr);
        int event = 0, error = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(dpy, &event, &error, &major, &minor)) GTEST_SKIP() << "no XTEST";
        delegate.zubScreen = kZubScreen;
        forwarder = std::make_unique<CursorForwarder>(
            CursorForwarder::Services{cursor, monitor, [this] { return pointer(); }},
            [this](const QVariantMap& event) { sent.push_back(event); });
        forwarder->setDelegate(&delegate);
        moveTo(10, 10);
        forwarder->registerMouseEvent();
    }
    void TearDown() override {
        forwarder.reset();
        if (dpy) XCloseDisplay(dpy);
    }

    QPointF pointer() const {
        Window root = 0, child = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &x, &y, &wx, &wy, &mask);
        return {double(x), double(kRootHeight - y)};
    }
    void moveTo(int x, int y) {
        XTestFakeMotionEvent(dpy, -1, x, y, CurrentTime);
        XSync(dpy, False);
    }
    // Waits for a message of that name; its index in `sent`.
    std::optional<size_t> waitFor(const QString& name, size_t from, int timeoutMs = 5000) {
        std::optional<size_t> found;
        waitUntil(
            [&] {
                for (size_t i = from; i < sent.size() && !found; ++i)
                    if (sent[i].value("eventName") == name) found = i;
                return found.has_value();
            },
            timeoutMs);
        return found;
    }

    PrivateXvfb xvfb{kRootWidth, kRootHeight};
    Display* dpy = nullptr;
    X11CursorSource cursor{xvfb.displayName()};
    X11EventMonitor monitor{xvfb.displayName()};
    RecordingAppDelegate delegate;
    std::vector<QVariantMap> sent;
    std::unique_ptr<CursorForwarder> forwarder;
};

// Moved over the streamed screen, the device is told where to draw the cursor on its picture, the
// first time with the cursor's picture at its X size; moved off, the cursor is hidden.
TEST_F(X11CursorTest, PointerMovedOverTheStreamedScreen) {
    XFixesCursorImage* xcursor = XFixesGetCursorImage(dpy);
    ASSERT_NE(xcursor, nullptr);
    const QSize xsize(xcursor->width, xcursor->height);
    const QPointF xhot(xcursor->xhot, xcursor->yhot);
    XFree(xcursor);

    struct Move {
        int x, y;
        const char* expected;
        QPointF at;
    };
    size_t from = 0;
    bool first = true;
    for (const Move& m :
         {Move{700, 500, "CursorPosChanged", {0.5, 0.5}}, Move{900, 350, "CursorPosChanged", {0.75, 0.25}},
          Move{1200, 500, "CursorHidden", {}}}) {
        SCOPED_TRACE(m.expected);
        moveTo(m.x, m.y);
        const std::optional<size_t> index = waitFor(m.expected, from);
        ASSERT_TRUE(index.has_value());
        const QVariantMap& event = sent[*index];
        from = *index + 1;
        if (QString(m.expected) != "CursorPosChanged") continue;
        EXPECT_DOUBLE_EQ(event.value("x").toDouble(), m.at.x());
        EXPECT_DOUBLE_EQ(event.value("y").toDouble(), m.at.y());
        EXPECT_EQ(QPointF(event.value("hotSpotX").toDouble(), event.value("hotSpotY").toDouble()), xhot);
        ASSERT_EQ(event.contains("cursorData"), first) << "the picture only when it changed";
        if (first) {
            const QImage image = QImage::fromData(event.value("cursorData").toByteArray(), "TIFF");
            EXPECT_EQ(image.size(), xsize);
            EXPECT_TRUE(image.hasAlphaChannel());
        }
        first = false;
    }
}

// A client that sets a blank cursor over the streamed screen hides the device's cursor within half a
// second; its own cursor back shows it.
TEST_F(X11CursorTest, BlankCursorHidesTheDevicesCursor) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    const Window window =
        XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, kRootWidth, kRootHeight, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
    XMapRaised(dpy, window);
    moveTo(700, 500);
    ASSERT_TRUE(waitFor("CursorPosChanged", 0).has_value());

    const char zero = 0;
    const Pixmap blank = XCreateBitmapFromData(dpy, window, &zero, 1, 1);
    XColor black{};
    const Cursor invisible = XCreatePixmapCursor(dpy, blank, blank, &black, &black, 0, 0);
    const size_t from = sent.size();
    XDefineCursor(dpy, window, invisible);
    XSync(dpy, False);
    EXPECT_TRUE(waitFor("CursorHidden", from, 500).has_value()) << "not within 0.5 s";

    XUndefineCursor(dpy, window);
    XSync(dpy, False);
    EXPECT_TRUE(waitFor("CursorShown", from).has_value());
    XFreeCursor(dpy, invisible);
    XFreePixmap(dpy, blank);
    XDestroyWindow(dpy, window);
    XSync(dpy, False);
}

} // namespace
