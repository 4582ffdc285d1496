#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeTouchBar.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"
#include "shell/TouchBarStrip.h"
#include "touchbar/TouchBarWindow.h"

#include <QApplication>
#include <QMouseEvent>
#include <gtest/gtest.h>
#include <thread>

using Activity = TouchBarSource::MouseActivity;

namespace {

// A picture of the Touch Bar's size, every pixel `rgb`; described as `format` with `bytesPerRow`.
FramePtr pictureOf(uint32_t rgb, PixelBuffer::Format format = PixelBuffer::kBGRA, int bytesPerRow = 4340) {
    auto own = PixelBuffer::create(1085, 30, PixelBuffer::kBGRA);
    QImage(own->data(), 1085, 30, own->bytesPerRow(), QImage::Format_RGB32).fill(rgb);
    return std::make_shared<const PixelBuffer>(1085, 30, bytesPerRow, format, own->data(), [own] {});
}

void sendMouse(QWidget& view, QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent event(type, at, view.mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(&view, &event);
}

} // namespace

class TouchBarTest : public ::testing::Test {
protected:
    TouchBarTest() { display.registerDisplayCallback(); }
    // The main screen: `width` x 900 at the origin, none for 0; then the strip shown and settled.
    void useScreen(double width) {
        displays.removeDisplay(1);
        if (width > 0) displays.addDisplay({.id = 1, .bounds = QRectF(0, 0, width, 900), .name = "Main"});
        displays.fire(1, DisplayServices::kSetModeFlag);
    }
    TouchBarWindow& shownOnScreen(double width) {
        useScreen(width);
        strip.showTouchBar();
        clock.advance(1.0);
        return *strip.touchBarWindow();
    }

    ManualClock clock;
    FakeDisplayServices displays;
    ZDVirtualScreenController display{displays};
    FakeTouchBar source;
    TouchBarStrip strip{source, display};
};

// The strip spans the main screen on its bottom edge, keeps the picture's proportions inside its
// margins and sits flush with the edge in whole pixels; a click at the picture's centre is the Touch
// Bar's centre whatever the strip's fractional height. With no screen there is nothing to touch.
TEST_F(TouchBarTest, TheStripFitsTheMainScreenAndItsCentreIsTheTouchBarsCentre) {
    struct Row {
        double screenWidth;
        QRectF frame, picture;
        QRect placed;
        size_t touches;
    };
    const double h = 1430.0 * 30 / 1085 + 10;
    for (const Row& row : {Row{1440, {0, 0, 1440, h}, {5, 5, 1430, h - 10}, {0, 850, 1440, 50}, 1},
                           Row{1095, {0, 0, 1095, 40}, {5, 5, 1085, 30}, {0, 860, 1095, 40}, 1},
                           Row{0, {0, 0, 0, 10 - 300.0 / 1085}, {5, 5, -10, -300.0 / 1085}, {}, 0}}) {
        SCOPED_TRACE(row.screenWidth);
        TouchBarWindow& window = shownOnScreen(row.screenWidth);
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(window.frame(), row.frame);
        EXPECT_EQ(window.contentView().displayFrame(), row.picture);
        EXPECT_EQ(window.geometry(), row.screenWidth > 0 ? row.placed : window.geometry());
        source.touches.clear();
        sendMouse(window.contentView(), QEvent::MouseButtonPress,
                  {row.screenWidth / 2, row.frame.height() / 2}, Qt::LeftButton, Qt::LeftButton);
        ASSERT_EQ(source.touches.size(), row.touches);
        for (const FakeTouchBar::Touch& touch : source.touches) {
            EXPECT_EQ(touch.activity, Activity::kDown);
            EXPECT_NEAR(touch.point.x(), 542.5, 1e-9);
            EXPECT_NEAR(touch.point.y(), 15, 1e-9);
        }
    }
}

// A drag and release with the left button become touches in Touch Bar points, y upwards; other
// buttons and moves with no button held touch nothing.
TEST_F(TouchBarTest, TheLeftButtonOnThePictureBecomesTouches) {
    TouchBarView& view = shownOnScreen(1095).contentView();
    sendMouse(view, QEvent::MouseButtonPress, {547.5, 20}, Qt::RightButton, Qt::RightButton);
    sendMouse(view, QEvent::MouseMove, {100, 20}, Qt::NoButton, Qt::NoButton);
    sendMouse(view, QEvent::MouseMove, {5, 35}, Qt::NoButton, Qt::LeftButton);
    sendMouse(view, QEvent::MouseButtonRelease, {1090, 5}, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(source.touches,
              (std::vector<FakeTouchBar::Touch>{{Activity::kDragged, {0, 0}}, {Activity::kUp, {1085, 30}}}));
}

// A tap lies on the strip only strictly inside it, and nowhere while there is no strip.
TEST_F(TouchBarTest, TapsCountOnlyStrictlyInsideTheStrip) {
    EXPECT_FALSE(strip.isTapInTouchBar({720, 880}));
    shownOnScreen(1440);
    const double top = 900 - (1430.0 * 30 / 1085 + 10);
    for (auto [point, inside] : std::vector<std::pair<QPointF, bool>>{{{720, 880}, true},
                                                                      {{0.5, 899.5}, true},
                                                                      {{720, top + 0.01}, true},
                                                                      {{0, 880}, false},
                                                                      {{1440, 880}, false},
                                                                      {{720, 900}, false},
                                                                      {{720, top}, false},
                                                                      {{-5, 880}, false}})
        EXPECT_EQ(strip.isTapInTouchBar(point), inside) << point.x() << "," << point.y();
}

// Showing slides the strip up from below the edge; hiding slides it down and puts it back out of sight;
// toggling alternates. A call that comes while the other's slide is under way wins.
TEST_F(TouchBarTest, ShowAndHideSlideAndTheLastCallWins) {
    const QRectF edge = TouchBarStrip::stripFrame(QRectF(0, 0, 1440, 900));
    useScreen(1440);
    strip.showTouchBar();
    TouchBarWindow& window = *strip.touchBarWindow();
    EXPECT_EQ(window.frame(), edge.translated(0, -edge.height()));
    clock.advance(TouchBarStrip::kSlideDuration / 2);
    EXPECT_TRUE(window.frame().y() < edge.y() && window.frame().y() > edge.y() - edge.height());
    clock.advance(1.0);
    using Call = void (TouchBarStrip::*)();
    const Call show = &TouchBarStrip::showTouchBar, hide = &TouchBarStrip::hideTouchBar,
               toggle = &TouchBarStrip::toggleTouchBarWindow;
    for (auto [calls, visible] : std::vector<std::pair<std::vector<Call>, bool>>{{{toggle}, false},
                                                                                 {{toggle}, true},
                                                                                 {{hide, show}, true},
                                                                                 {{show, hide}, false},
                                                                                 {{show}, true}}) {
        for (Call call : calls) {
            (strip.*call)();
            clock.advance(TouchBarStrip::kSlideDuration / 2);
        }
        clock.advance(1.0);
        EXPECT_EQ(window.isVisible(), visible) << calls.size();
        EXPECT_EQ(window.frame(), edge);
    }
}

// The stream starts with the strip: a refused start is tried once more after the Touch Bar's status is
// reset, and a second refusal leaves the strip black and the Touch Bar stopped. Without a Touch Bar
// nothing is made.
TEST_F(TouchBarTest, TheStreamStartsOnceOrRetriesOnce) {
    using S = TouchBarSource::Status;
    const S on = TouchBarSource::kStatusStreaming, off = TouchBarSource::kStatusStopped;
    const int32_t refused = DisplayStream::kFailure;
    struct Row {
        bool hasTouchBar;
        std::vector<int32_t> startResults;
        std::vector<S> statuses; // up to and including stopTouchBar
        bool streaming;
    };
    for (const Row& row : std::vector<Row>{{true, {}, {on, off}, true},
                                           {true, {refused}, {on, off, on, off}, true},
                                           {true, {refused, refused}, {on, off, on, off}, false},
                                           {false, {}, {}, false}}) {
        FakeTouchBar bar;
        bar.hasTouchBar = row.hasTouchBar;
        bar.startResults = row.startResults;
        TouchBarStrip relay(bar, display);
        relay.showTouchBar();
        EXPECT_EQ(relay.hasTouchBarWindow(), row.hasTouchBar);
        EXPECT_EQ(relay.hasTouchBarWindow() && relay.touchBarWindow()->contentView().isStreaming(),
                  row.streaming);
        relay.stopTouchBar();
        EXPECT_EQ(bar.statuses, row.statuses) << row.startResults.size();
        EXPECT_EQ(!bar.streams.empty() && bar.streams.back()->stops == 1, row.streaming);
    }
}

// Pictures come from the source's own thread: the strip shows the newest whole BGRA one and keeps it
// when a malformed one comes; pictures that arrive while and after the strip goes touch nothing.
TEST_F(TouchBarTest, TheNewestGoodPictureIsShownAndLatePicturesAreHarmless) {
    auto relay = std::make_unique<TouchBarStrip>(source, display);
    relay->showTouchBar();
    TouchBarView& view = relay->touchBarWindow()->contentView();
    DisplayStream::Handler deliver = source.streams.back()->handler;
    std::thread([&] {
        for (uint32_t i = 1; i <= 200; ++i)
            deliver(DisplayStream::kFrameComplete, 0, pictureOf(i));
    }).join();
    ASSERT_TRUE(waitUntil([&] { return !view.picture().isNull(); }));
    for (FramePtr bad :
         {pictureOf(0xff0000, PixelBuffer::kYUVS), pictureOf(0xff0000, PixelBuffer::kBGRA, 1085)}) {
        deliver(DisplayStream::kFrameComplete, 0, bad);
        spinEventLoop(10);
    }
    EXPECT_EQ(view.picture().pixel(500, 15), 0xff0000c8u);

    std::thread late([deliver] {
        for (int i = 0; i < 50; ++i)
            deliver(DisplayStream::kFrameComplete, 0, pictureOf(0xff0000));
    });
    relay.reset();
    late.join();
    spinEventLoop(20);
}
