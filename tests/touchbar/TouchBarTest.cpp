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

// The strip spans the main screen on its bottom edge, keeps the picture's proportions inside its margins
// and sits flush with the edge in whole pixels. Left-button presses, drags and releases on the picture
// become touches in Touch Bar points, y upwards, whatever the strip's fractional height; other buttons
// touch nothing, and with no screen there is no picture to touch.
TEST_F(TouchBarTest, TheStripFitsTheMainScreenAndTheMouseOnItBecomesTouches) {
    struct Row {
        double screenWidth;
        QRectF frame, picture;
        QRect placed;
        std::vector<FakeTouchBar::Touch> touches;
    };
    const double h = 1430.0 * 30 / 1085 + 10;
    const std::vector<FakeTouchBar::Touch> all{
        {Activity::kDown, {542.5, 15}}, {Activity::kDragged, {0, 30}}, {Activity::kUp, {1085, 0}}};
    for (const Row& row : {Row{1440, {0, 0, 1440, h}, {5, 5, 1430, h - 10}, {0, 850, 1440, 50}, all},
                           Row{1095, {0, 0, 1095, 40}, {5, 5, 1085, 30}, {0, 860, 1095, 40}, all},
                           Row{0, {0, 0, 0, 10 - 300.0 / 1085}, {5, 5, -10, -300.0 / 1085}, {}, {}}}) {
        SCOPED_TRACE(row.screenWidth);
        TouchBarWindow& window = shownOnScreen(row.screenWidth);
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(window.frame(), row.frame);
        EXPECT_EQ(window.contentView().displayFrame(), row.picture);
        EXPECT_EQ(window.geometry(), row.screenWidth > 0 ? row.placed : window.geometry());
        source.touches.clear();
        const double w = row.frame.width(), hh = row.frame.height();
        sendMouse(window.contentView(), QEvent::MouseButtonPress, {w / 2, hh / 2}, Qt::RightButton,
                  Qt::RightButton);
        sendMouse(window.contentView(), QEvent::MouseMove, {5, 5}, Qt::NoButton, Qt::NoButton);
        sendMouse(window.contentView(), QEvent::MouseButtonPress, {w / 2, hh / 2}, Qt::LeftButton,
                  Qt::LeftButton);
        sendMouse(window.contentView(), QEvent::MouseMove, {5, 5}, Qt::NoButton, Qt::LeftButton);
        sendMouse(window.contentView(), QEvent::MouseButtonRelease, {w - 5, hh - 5}, Qt::LeftButton,
                  Qt::NoButton);
        ASSERT_EQ(source.touches.size(), row.touches.size());
        for (size_t i = 0; i < row.touches.size(); ++i) {
            EXPECT_EQ(source.touches[i].activity, row.touches[i].activity);
            EXPECT_NEAR(source.touches[i].point.x(), row.touches[i].point.x(), 1e-9) << i;
            EXPECT_NEAR(source.touches[i].point.y(), row.touches[i].point.y(), 1e-9) << i;
        }
    }
}

// A tap lies on the strip only strictly inside it, and nowhere while there is no strip or it is hidden.
TEST_F(TouchBarTest, TapsCountOnlyStrictlyInsideTheStrip) {
    EXPECT_FALSE(strip.isTapInTouchBar({720, 880}));
    shownOnScreen(1440);
    const double top = 900 - (1430.0 * 30 / 1085 + 10);
    // x, y, inside
    const double cases[][3] = {{720, 880, 1},  {0.5, 899.5, 1}, {720, top + 0.01, 1}, {0, 880, 0},
                               {1440, 880, 0}, {720, 900, 0},   {720, top, 0},        {-5, 880, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(strip.isTapInTouchBar({c[0], c[1]}), c[2] != 0) << c[0] << "," << c[1];
    strip.hideTouchBar();
    clock.advance(1.0);
    EXPECT_FALSE(strip.isTapInTouchBar({720, 880}));
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
