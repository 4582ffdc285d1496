#include "SessionFakes.h"

#include "base/NotificationCenter.h"
#include "fakes/FakeCursorSource.h"
#include "fakes/FakeInput.h"
#include "session/CursorForwarder.h"

#include <QImage>

namespace {

// The streamed screen, bottom-left-origin space: x 100..900, y 200..800; (500, 500) is its middle.
const QRectF kZubScreen(100, 200, 800, 600);

// A forwarder on a fake cursor, pointer and clock, with the shell recorded.
struct CursorRig {
    CursorRig() {
        delegate.zubScreen = kZubScreen;
        forwarder.setDelegate(&delegate);
    }

    // What was sent since the last call, a word per message: "pos(x,y)", with "+img" when it carried
    // a picture, "hidden", "shown".
    QStringList take() {
        QStringList out;
        for (const QVariantMap& e : sent) {
            const QString name = e.value("eventName").toString();
            if (name == "CursorPosChanged")
                out << QStringLiteral("pos(%1,%2)%3")
                           .arg(e.value("x").toDouble())
                           .arg(e.value("y").toDouble())
                           .arg(e.contains("cursorData") ? "+img" : "");
            else if (name == "CursorHidden")
                out << "hidden";
            else if (name == "CursorShown")
                out << "shown";
            else
                out << name;
        }
        sent.clear();
        return out;
    }
    // By the mouse: the monitors hear of it.
    void move(double x, double y) {
        pointer = {x, y};
        monitor.moveMouse();
    }
    // By a program: nothing is told.
    void warp(double x, double y) { pointer = {x, y}; }

    ManualClock clock;
    FakeCursorSource cursor;
    FakeEventMonitor monitor;
    RecordingAppDelegate delegate;
    QPointF pointer{500, 500};
    std::vector<QVariantMap> sent;
    CursorForwarder forwarder{{cursor, monitor, [this] { return pointer; }},
                              [this](const QVariantMap& event) { sent.push_back(event); }};
};

using Fixture = CursorRig;
struct Step {
    std::function<void(Fixture&)> act;
    QStringList expected;
};
struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

TEST(CursorForwarderTest, MessageSequences) {
    const std::vector<Sequence> sequences = {
        {"the mouse across the screen and off it: the picture first and on change, hidden once",
         {{[](Fixture& f) { f.move(500, 500); }, {"pos(0.5,0.5)+img"}},
          {[](Fixture& f) { f.move(300, 500); }, {"pos(0.25,0.5)"}},
          {[](Fixture& f) {
               f.cursor.setPicture(QSize(32, 32), QPointF(16, 16));
               f.move(300, 350);
           },
           {"pos(0.25,0.75)+img"}},
          {[](Fixture& f) { f.move(950, 500); }, {"hidden"}},
          {[](Fixture& f) { f.move(960, 500); }, {}},
          {[](Fixture& f) { f.move(500, 500); }, {"pos(0.5,0.5)"}}}},
        {"a warp of 1 point starts no poll, of 2 it does at the next check; still, nothing",
         {{[](Fixture& f) { f.move(500, 500); }, {"pos(0.5,0.5)+img"}},
          {[](Fixture& f) {
               f.warp(501, 500);
               f.clock.advance(1.0);
           },
           {}},
          {[](Fixture& f) {
               f.warp(502, 500);
               f.clock.advance(0.52);
           },
           {"pos(0.5025,0.5)+img"}},
          {[](Fixture& f) { f.clock.advance(0.3); }, {}},
          {[](Fixture& f) {
               f.warp(510, 500);
               f.clock.advance(0.02);
           },
           {"pos(0.5125,0.5)"}},
          // The next mouse event ends the poll.
          {[](Fixture& f) { f.move(600, 500); }, {"pos(0.625,0.5)"}},
          {[](Fixture& f) {
               f.warp(600, 501);
               f.clock.advance(1.0);
           },
           {}}}},
        {"right after a mouse event the pointer is polled from the check after next; warped off while "
         "polled, the device hears once that it left",
         {{[](Fixture& f) { f.move(500, 500); }, {"pos(0.5,0.5)+img"}},
          {[](Fixture& f) {
               f.warp(520, 500);
               f.clock.advance(0.5);
           },
           {}},
          {[](Fixture& f) { f.clock.advance(0.52); }, {"pos(0.525,0.5)+img"}},
          {[](Fixture& f) {
               f.warp(950, 500);
               f.clock.advance(0.05);
           },
           {"pos(-1,-1)"}},
          {[](Fixture& f) {
               f.warp(960, 510);
               f.clock.advance(1.0);
           },
           {}}}},
        {"a cursor hidden by an application on the screen: told once by the check, and shown once",
         {{[](Fixture& f) { f.move(500, 500); }, {"pos(0.5,0.5)+img"}},
          {[](Fixture& f) {
               f.cursor.setVisible(false, false);
               f.clock.advance(0.5);
           },
           {"hidden"}},
          {[](Fixture& f) { f.clock.advance(2.0); }, {}},
          {[](Fixture& f) {
               f.cursor.setVisible(true, false);
               f.clock.advance(0.5);
           },
           {"shown"}}}},
        {"a change notice tells at once; off the screen visibility is not followed",
         {{[](Fixture& f) { f.cursor.setVisible(false); }, {"hidden"}},
          {[](Fixture& f) { f.cursor.setVisible(false); }, {}},
          {[](Fixture& f) { f.cursor.setVisible(true); }, {"shown"}},
          {[](Fixture& f) {
               f.move(950, 500);
               f.cursor.setVisible(false);
               f.clock.advance(1.0);
           },
           {}}}},
        {"a coordinate of exactly 0 is no position",
         {{[](Fixture& f) { f.move(0, 500); }, {}},
          {[](Fixture& f) { f.move(500, 0); }, {}},
          {[](Fixture& f) {
               f.warp(0, 400);
               f.clock.advance(1.0);
           },
           {}}}},
        {"a picture that already holds the cursor: the device's is hidden",
         {{[](Fixture& f) {
               f.cursor.inFrameBuffer = true;
               f.move(500, 500);
           },
           {"hidden"}}}},
        {"after unregistering, neither movements, warps nor notices are told",
         {{[](Fixture& f) { f.move(500, 500); }, {"pos(0.5,0.5)+img"}},
          {[](Fixture& f) {
               f.warp(520, 500);
               f.clock.advance(1.02);
           },
           {"pos(0.525,0.5)+img"}},
          {[](Fixture& f) {
               f.forwarder.unregisterMouseEvent();
               f.warp(600, 500);
               f.clock.advance(1.0);
               f.move(700, 500);
               f.cursor.setVisible(false);
           },
           {}}}},
    };
    for (const Sequence& sequence : sequences) {
        SCOPED_TRACE(sequence.name);
        Fixture f;
        f.forwarder.registerMouseEvent();
        for (size_t i = 0; i < sequence.steps.size(); ++i) {
            sequence.steps[i].act(f);
            EXPECT_EQ(f.take(), sequence.steps[i].expected) << "step " << i;
        }
        f.forwarder.unregisterMouseEvent();
        EXPECT_EQ(f.clock.pendingCount(), 0u) << "a timer outlived the monitors";
    }
}

// The strip hides above 0.999 and comes back only below 0.9; never when it is off.
TEST(CursorForwarderTest, TouchBarHidesAtTheBottomEdgeWithHysteresis) {
    CursorRig f;
    std::vector<int> posted;
    NotificationCenter& center = NotificationCenter::defaultCenter();
    const auto observer =
        center.addObserver(kZDAutoHideTouchBarNotification, nullptr,
                           [&](const Notification& n) { posted.push_back(n.userInfo["hide"].toInt()); });
    const auto atY = [&](double normalisedY) {
        f.move(500, kZubScreen.bottom() - normalisedY * kZubScreen.height());
    };
    f.forwarder.registerMouseEvent();
    for (const auto& [enabled, ys, expected] :
         std::vector<std::tuple<bool, std::vector<double>, std::vector<int>>>{
             {true, {0.95, 0.9995, 0.95, 0.9985, 0.85, 0.9995}, {1, 0, 1}},
             {true, {0.5}, {0}},
             {false, {0.9995, 0.5}, {}},
         }) {
        f.delegate.touchBarEnabled = enabled;
        posted.clear();
        for (double y : ys)
            atY(y);
        EXPECT_EQ(posted, expected) << "enabled " << enabled;
    }
    center.removeObserver(observer);
}

// The picture goes as TIFF of the cursor's size with its transparency, a large one scaled down to fit
// 256 pixels (the hot spot with it), and an unreadable one not at all.
TEST(CursorForwarderTest, CursorPicture) {
    CursorRig f;
    struct Case {
        const char* name;
        QSize size;
        QPointF hotSpot;
        bool readable;
        std::optional<QSize> sentSize;
        QPointF sentHotSpot;
    };
    const std::vector<Case> cases = {
        {"ordinary", {16, 24}, {1, 2}, true, QSize(16, 24), {1, 2}},
        {"too wide", {600, 300}, {300, 150}, true, QSize(256, 128), {128, 64}},
        {"too tall", {64, 1024}, {32, 1024}, true, QSize(16, 256), {8, 256}},
        {"unreadable", {16, 24}, {1, 2}, false, std::nullopt, {0, 0}},
        {"empty", {0, 0}, {0, 0}, true, std::nullopt, {0, 0}},
    };
    f.forwarder.registerMouseEvent();
    int x = 200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        f.cursor.setPicture(c.size, c.hotSpot);
        f.cursor.readable = c.readable;
        f.move(x += 10, 500);
        ASSERT_EQ(f.sent.size(), 1u);
        const QVariantMap event = f.sent.front();
        f.sent.clear();
        EXPECT_EQ(event.value("hotSpotX").toDouble(), c.sentHotSpot.x());
        EXPECT_EQ(event.value("hotSpotY").toDouble(), c.sentHotSpot.y());
        ASSERT_EQ(event.contains("cursorData"), c.sentSize.has_value());
        if (c.sentSize) {
            const QByteArray data = event.value("cursorData").toByteArray();
            ASSERT_TRUE(data.startsWith("II*") || data.startsWith("MM")) << "not TIFF";
            const QImage image = QImage::fromData(data, "TIFF");
            EXPECT_EQ(image.size(), *c.sentSize);
            ASSERT_TRUE(image.hasAlphaChannel());
            EXPECT_NEAR(image.pixelColor(image.width() / 2, image.height() / 2).alpha(), 128, 2);
        }
    }
}

// The cursor is forwarded only to a device of protocol 1.0.2 or later, and only while the user did not
// choose the desktop's own cursor: the stream then installs the monitors and the shell's moves are told.
class CursorSessionTest : public SessionTest {};

TEST_F(CursorSessionTest, ForwardedOnlyToNewerDevicesAndWithoutTheSystemCursor) {
    struct Case {
        const char* protocol;
        bool useSystemCursor;
        bool forwarded;
    };
    for (const Case& c : std::vector<Case>{{"1.0.10", false, true},
                                           {"1.0.2", false, true},
                                           {"1.0.1", false, false},
                                           {"1.0.10", true, false}}) {
        SCOPED_TRACE(
            QStringLiteral("%1 system cursor %2").arg(c.protocol).arg(c.useSystemCursor).toStdString());
        FakeCursorSource cursor;
        FakeEventMonitor monitor;
        std::unique_ptr<CaptureController> owner = make();
        controller->setCursorServices({cursor, monitor, [] { return QPointF(500, 500); }});
        controller->setDelegate(&delegate);
        delegate.zubScreen = kZubScreen;
        controller->useSystemCursor(c.useSystemCursor);
        controller->setupLink();
        std::unique_ptr<TestPeer> peer = linkDevice(7);
        refuseLoopback();
        introduce(*peer, {{"protocolVersion", c.protocol}});
        EXPECT_EQ(controller->simulateCursorPos(), c.forwarded);
        stream().resetResolution(3); // as the shell does for a new device
        peer->sendEvent({{"eventName", "ReadyToReceive"}});
        ASSERT_TRUE(waitUntil([&] { return stream().captureRunning(); }));
        EXPECT_EQ(controller->cursorForwarder()->monitorsInstalled(), c.forwarded);
        EXPECT_EQ(stream().videoCaptureSession()->simulateCursor(), c.forwarded) << "the picture's cursor";
        controller->mouseCursorMoved();
        controller->sendMessage("marker", PeerMessage::kChannelCurrent);
        ASSERT_TRUE(peer->waitFor("marker"));
        EXPECT_EQ(peer->said().contains("event:CursorPosChanged"), c.forwarded);
        controller->applicationShouldTerminate();
        EXPECT_FALSE(controller->cursorForwarder()->monitorsInstalled());
    }
}

// Choosing the desktop's own cursor while streaming: the device's cursor goes, the picture is set up
// again with the cursor in it, and the monitors go; choosing the forwarded one brings them back.
TEST_F(CursorSessionTest, TheSystemCursorChoiceSetsTheStreamUpAgain) {
    FakeCursorSource cursor;
    FakeEventMonitor monitor;
    std::unique_ptr<CaptureController> owner = make();
    controller->setCursorServices({cursor, monitor, [] { return QPointF(500, 500); }});
    controller->setDelegate(&delegate);
    controller->setupLink();
    std::unique_ptr<TestPeer> peer = linkDevice(7);
    refuseLoopback();
    introduce(*peer);
    stream().resetResolution(3);
    peer->sendEvent({{"eventName", "ReadyToReceive"}});
    ASSERT_TRUE(waitUntil([&] { return controller->cursorForwarder()->monitorsInstalled(); }));

    for (const bool on : {true, false}) {
        SCOPED_TRACE(on ? "system cursor" : "forwarded cursor");
        peer->frames.clear();
        controller->useSystemCursor(on);
        controller->sendMessage("marker", PeerMessage::kChannelCurrent);
        ASSERT_TRUE(peer->waitFor("marker"));
        QStringList said = peer->said();
        said.removeIf([](const QString& s) { return s.startsWith("startStream") || s == "stopStream"; });
        const QStringList expected =
            on ? QStringList{"event:CursorHidden", "waitASec", "size:2048x1536", "marker"}
               : QStringList{"waitASec", "size:2048x1536", "marker"};
        EXPECT_EQ(said, expected);
        EXPECT_EQ(stream().videoCaptureSession()->simulateCursor(), !on);
        EXPECT_EQ(controller->cursorForwarder()->monitorsInstalled(), !on);
    }
    controller->applicationShouldTerminate();
}

} // namespace
