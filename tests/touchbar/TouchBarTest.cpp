#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeTouchBar.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"
#include "shell/TouchBarStrip.h"
#include "touchbar/TouchBarWindow.h"

#include <QApplication>
#include <QMouseEvent>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using Activity = TouchBarSource::MouseActivity;
using Touch = FakeTouchBar::Touch;

namespace {

// A BGRA picture of the Touch Bar's size whose every pixel is 0xffRRGGBB `rgb`.
FramePtr pictureOf(uint32_t rgb, PixelBuffer::Format format = PixelBuffer::kBGRA, int bytesPerRow = 0) {
    auto own = PixelBuffer::create(1085, 30, PixelBuffer::kBGRA);
    for (int y = 0; y < own->height(); ++y)
        for (int x = 0; x < own->width(); ++x) {
            const uint32_t pixel = 0xff000000u | rgb;
            std::memcpy(own->data() + y * own->bytesPerRow() + x * 4, &pixel, 4);
        }
    if (format == PixelBuffer::kBGRA && bytesPerRow == 0) return own;
    // The same memory described otherwise, as a broken source might.
    return std::make_shared<const PixelBuffer>(own->width(), own->height(),
                                               bytesPerRow ? bytesPerRow : own->bytesPerRow(), format,
                                               own->data(), [own] {});
}

void sendMouse(QWidget& view, QEvent::Type type, QPointF position, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent event(type, position, view.mapToGlobal(position), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&view, &event);
}

} // namespace

void PrintTo(const Touch& touch, std::ostream* os) {
    *os << '{' << int(touch.activity) << ", " << touch.point.x() << ", " << touch.point.y() << '}';
}

class TouchBarTest : public ::testing::Test {
protected:
    // The main screen: `width` x 900 at the origin; none when the width is 0.
    TouchBarTest() {
        displays.addDisplay({.id = 1, .bounds = QRectF(0, 0, 1440, 900), .name = "Main"});
        display.registerDisplayCallback();
    }
    void useScreenWidth(double width) {
        displays.removeDisplay(1);
        if (width > 0) displays.addDisplay({.id = 1, .bounds = QRectF(0, 0, width, 900), .name = "Main"});
        displays.fire(1, DisplayServices::kSetModeFlag);
    }
    TouchBarWindow& shown() {
        strip.showTouchBar();
        clock.advance(1.0);
        return *strip.touchBarWindow();
    }
    TouchBarView& view() { return strip.touchBarWindow()->contentView(); }

    ManualClock clock;
    FakeDisplayServices displays;
    ZDVirtualScreenController display{displays};
    FakeTouchBar source;
    TouchBarStrip strip{source, display};
};

// The strip spans the main screen on its bottom edge, keeps the picture's proportions inside its
// margins, and sits flush with the edge in whole pixels; with no screen it is computed from nothing.
TEST_F(TouchBarTest, TheStripFitsTheMainScreen) {
    struct Row {
        double screenWidth;
        QRectF frame, picture;
        QRect placed;
    };
    const double h1440 = 1430.0 * 30 / 1085 + 10;
    for (const Row& row : {
             Row{1440, {0, 0, 1440, h1440}, {5, 5, 1430, h1440 - 10}, {0, 850, 1440, 50}},
             Row{1095, {0, 0, 1095, 40}, {5, 5, 1085, 30}, {0, 860, 1095, 40}},
             Row{0, {0, 0, 0, 10 - 300.0 / 1085}, {5, 5, -10, -300.0 / 1085}, {}},
         }) {
        SCOPED_TRACE(row.screenWidth);
        useScreenWidth(row.screenWidth);
        TouchBarWindow& window = shown();
        EXPECT_TRUE(window.isVisible());
        EXPECT_DOUBLE_EQ(window.frame().height(), row.frame.height());
        EXPECT_EQ(window.frame(), row.frame);
        EXPECT_EQ(view().displayFrame(), row.picture);
        if (row.screenWidth > 0) {
            EXPECT_EQ(window.geometry(), row.placed);
        }
    }
}

// Clicks and drags on the picture become touches in Touch Bar points, y upwards, whatever the strip's
// size; other buttons and plain moves touch nothing, and a picture of no size takes no touch.
TEST_F(TouchBarTest, TheMouseOnThePictureBecomesTouches) {
    struct Step {
        QEvent::Type type;
        QPointF position; // in the view, top-left origin
        Qt::MouseButton button;
        Qt::MouseButtons buttons;
    };
    struct Row {
        double screenWidth;
        std::vector<Step> steps;
        std::vector<Touch> touches;
    };
    const double h1440 = 1430.0 * 30 / 1085 + 10;
    for (const Row& row : std::vector<Row>{
             {1095,
              {{QEvent::MouseButtonPress, {547.5, 20}, Qt::LeftButton, Qt::LeftButton},
               {QEvent::MouseMove, {5, 35}, Qt::NoButton, Qt::LeftButton},
               {QEvent::MouseButtonRelease, {1090, 5}, Qt::LeftButton, Qt::NoButton}},
              {{Activity::kDown, {542.5, 15}}, {Activity::kDragged, {0, 0}}, {Activity::kUp, {1085, 30}}}},
             // The centre of the taller strip is still the picture's centre.
             {1440,
              {{QEvent::MouseButtonPress, {720, h1440 / 2}, Qt::LeftButton, Qt::LeftButton}},
              {{Activity::kDown, {542.5, 15}}}},
             {1095,
              {{QEvent::MouseButtonPress, {547.5, 20}, Qt::RightButton, Qt::RightButton},
               {QEvent::MouseMove, {100, 20}, Qt::NoButton, Qt::NoButton},
               {QEvent::MouseButtonRelease, {547.5, 20}, Qt::RightButton, Qt::NoButton}},
              {}},
             {0, {{QEvent::MouseButtonPress, {0, 5}, Qt::LeftButton, Qt::LeftButton}}, {}},
         }) {
        SCOPED_TRACE(row.screenWidth);
        useScreenWidth(row.screenWidth);
        shown();
        source.touches.clear();
        for (const Step& step : row.steps)
            sendMouse(view(), step.type, step.position, step.button, step.buttons);
        ASSERT_EQ(source.touches.size(), row.touches.size());
        for (size_t i = 0; i < row.touches.size(); ++i) {
            EXPECT_EQ(source.touches[i].activity, row.touches[i].activity) << i;
            EXPECT_NEAR(source.touches[i].point.x(), row.touches[i].point.x(), 1e-9) << i;
            EXPECT_NEAR(source.touches[i].point.y(), row.touches[i].point.y(), 1e-9) << i;
        }
    }
}

// A tap lies on the strip only strictly inside it, and nowhere while there is no strip.
TEST_F(TouchBarTest, TapsCountOnlyStrictlyInsideTheStrip) {
    EXPECT_FALSE(strip.isTapInTouchBar({720, 880}));
    shown();
    const double top = 900 - (1430.0 * 30 / 1085 + 10);
    struct Row {
        QPointF point;
        bool inside;
    };
    for (const Row& row : {Row{{720, 880}, true}, Row{{0.5, 899.5}, true}, Row{{0, 880}, false},
                           Row{{1440, 880}, false}, Row{{720, 900}, false}, Row{{720, top}, false},
                           Row{{720, top + 0.01}, true}, Row{{720, 10}, false}, Row{{-5, 880}, false}}) {
        EXPECT_EQ(strip.isTapInTouchBar(row.point), row.inside) << row.point.x() << "," << row.point.y();
    }
}

// Showing slides the strip up from below the edge, hiding slides it down and then puts it back out of
// sight; toggling alternates. A show that comes while a hide is under way wins, and the other way
// round: the strip ends as the last call asked.
TEST_F(TouchBarTest, ShowAndHideSlideAndTheLastOneWins) {
    const QRectF strip0 = TouchBarStrip::stripFrame(QRectF(0, 0, 1440, 900));
    const QRectF below = strip0.translated(0, -strip0.height());
    strip.showTouchBar();
    TouchBarWindow& window = *strip.touchBarWindow();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.frame(), below);
    clock.advance(TouchBarStrip::kSlideDuration / 2);
    EXPECT_GT(window.frame().y(), below.y());
    EXPECT_LT(window.frame().y(), strip0.y());
    clock.advance(TouchBarStrip::kSlideDuration);
    EXPECT_EQ(window.frame(), strip0);

    struct Row {
        const char* name;
        std::vector<void (TouchBarStrip::*)()> calls; // one every half slide
        bool visible;
    };
    for (const Row& row : std::vector<Row>{
             {"toggle hides", {&TouchBarStrip::toggleTouchBarWindow}, false},
             {"toggle shows", {&TouchBarStrip::toggleTouchBarWindow}, true},
             {"show during hide", {&TouchBarStrip::hideTouchBar, &TouchBarStrip::showTouchBar}, true},
             {"hide during hide", {&TouchBarStrip::hideTouchBar, &TouchBarStrip::hideTouchBar}, false},
             {"hide during show", {&TouchBarStrip::showTouchBar, &TouchBarStrip::hideTouchBar}, false},
             {"show again", {&TouchBarStrip::showTouchBar}, true},
         }) {
        SCOPED_TRACE(row.name);
        for (auto call : row.calls) {
            (strip.*call)();
            clock.advance(TouchBarStrip::kSlideDuration / 2);
        }
        clock.advance(1.0);
        EXPECT_EQ(window.isVisible(), row.visible);
        EXPECT_FALSE(window.isAnimating());
        // Hidden or shown, the next show starts from or stays at the strip's place.
        if (row.visible) {
            EXPECT_EQ(window.frame(), strip0);
        }
    }
}

// Without a Touch Bar nothing is made and nothing is streamed or touched.
TEST_F(TouchBarTest, WithoutATouchBarThereIsNoStrip) {
    source.hasTouchBar = false;
    EXPECT_FALSE(strip.isOSSupportTouchBar());
    strip.showTouchBar();
    strip.toggleTouchBarWindow();
    strip.stopTouchBar();
    EXPECT_FALSE(strip.hasTouchBarWindow());
    EXPECT_FALSE(strip.isTapInTouchBar({720, 880}));
    EXPECT_TRUE(source.streams.empty());
    EXPECT_TRUE(source.statuses.empty());
}

// The stream starts with the strip: a refused start is tried once more after the Touch Bar's status
// is reset, a second refusal leaves the strip black and the Touch Bar stopped; stopping sets it
// stopped and ends the stream.
TEST_F(TouchBarTest, TheStreamStartsOnceOrRetriesOnce) {
    using S = TouchBarSource::Status;
    const S on = TouchBarSource::kStatusStreaming, off = TouchBarSource::kStatusStopped;
    struct Row {
        std::vector<int32_t> startResults;
        std::vector<S> statuses;
        size_t streams;
        bool streaming;
    };
    for (const Row& row : std::vector<Row>{
             {{}, {on}, 1, true},
             {{DisplayStream::kFailure}, {on, off, on}, 2, true},
             {{DisplayStream::kFailure, DisplayStream::kFailure}, {on, off, on, off}, 2, false},
         }) {
        SCOPED_TRACE(row.startResults.size());
        FakeTouchBar bar;
        bar.startResults = row.startResults;
        TouchBarStrip relay(bar, display);
        relay.showTouchBar();
        EXPECT_EQ(bar.statuses, row.statuses);
        EXPECT_EQ(bar.streams.size(), row.streams);
        TouchBarView& content = relay.touchBarWindow()->contentView();
        EXPECT_EQ(content.isStreaming(), row.streaming);
        EXPECT_TRUE(relay.touchBarWindow()->isVisible());
        relay.stopTouchBar();
        EXPECT_FALSE(content.isStreaming());
        if (row.streaming) {
            EXPECT_EQ(bar.statuses.back(), off);
            EXPECT_EQ(bar.streams.back()->stops, 1);
        }
    }
}

// Pictures come from the source's own thread; the strip shows the newest whole BGRA one, keeps the
// last good one when a malformed picture comes, and pictures that arrive after the strip is gone
// touch nothing.
TEST_F(TouchBarTest, TheNewestGoodPictureIsShown) {
    auto relay = std::make_unique<TouchBarStrip>(source, display);
    relay->showTouchBar();
    TouchBarView& view = relay->touchBarWindow()->contentView();
    FakeDisplayStream& stream = *source.streams.back();
    std::thread capture([&] {
        for (uint32_t i = 1; i <= 200; ++i)
            stream.deliver(DisplayStream::kFrameComplete, pictureOf(i));
        stream.deliver(DisplayStream::kFrameIdle);
    });
    capture.join();
    ASSERT_TRUE(waitUntil([&] { return !view.picture().isNull(); }));
    EXPECT_EQ(view.picture().pixel(500, 15), 0xff0000c8u);

    struct Row {
        const char* name;
        FramePtr frame;
    };
    for (const Row& row :
         {Row{"not BGRA", pictureOf(0x00ff00, PixelBuffer::kYUVS)},
          Row{"rows too short", pictureOf(0x00ff00, PixelBuffer::kBGRA, 1085)}, Row{"no picture", nullptr}}) {
        SCOPED_TRACE(row.name);
        stream.deliver(DisplayStream::kFrameComplete, row.frame);
        spinEventLoop(20);
        EXPECT_EQ(view.picture().pixel(500, 15), 0xff0000c8u);
    }

    std::thread late([handler = stream.handler] {
        for (int i = 0; i < 50; ++i)
            handler(DisplayStream::kFrameComplete, 0, pictureOf(0xff0000));
    });
    relay.reset();
    late.join();
    spinEventLoop(20);
    EXPECT_EQ(stream.stops, 1);
}
