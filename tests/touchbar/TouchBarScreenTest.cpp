#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeTouchBar.h"
#include "fakes/TestSupport.h"
#include "shell/TouchBarStrip.h"
#include "touchbar/TouchBarWindow.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QWindow>
#include <gtest/gtest.h>

// On a real X server the strip shows the Touch Bar's picture (left half one colour, right half
// another, so a flipped or misplaced one shows) on the main screen's bottom edge, inside a black
// margin, in a window that never takes the focus.
TEST(TouchBarScreenTest, TheStripShowsThePictureOnTheBottomEdgeWithoutTakingTheFocus) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server in DISPLAY";
    QScreen* screen = QGuiApplication::primaryScreen();
    FakeDisplayServices displays;
    displays.addDisplay({.id = 1, .bounds = QRectF(screen->geometry()), .name = "Main"});
    ZDVirtualScreenController display(displays);
    FakeTouchBar source;
    TouchBarStrip strip(source, display);
    strip.showTouchBar();
    TouchBarWindow& window = *strip.touchBarWindow();
    EXPECT_TRUE(window.windowFlags().testFlags(Qt::Tool | Qt::WindowDoesNotAcceptFocus));

    const QRgb left = 0xffff2040, right = 0xff20ff40;
    auto picture = PixelBuffer::create(1085, 30, PixelBuffer::kBGRA);
    QImage drawn(picture->data(), 1085, 30, picture->bytesPerRow(), QImage::Format_RGB32);
    drawn.fill(left);
    QPainter(&drawn).fillRect(543, 0, 542, 30, QColor::fromRgb(right));
    source.streams.back()->deliver(DisplayStream::kFrameComplete, picture);
    ASSERT_TRUE(waitUntil([&] {
        return !window.isAnimating() && window.windowHandle()->isExposed() &&
               !window.contentView().picture().isNull();
    }));
    spinEventLoop(200);

    const QRect placed = window.geometry();
    EXPECT_EQ(placed.bottom(), screen->geometry().bottom());
    EXPECT_EQ(placed.width(), screen->geometry().width());
    const QImage shot =
        screen->grabWindow(0, placed.x(), placed.y(), placed.width(), placed.height()).toImage();
    const int middle = placed.height() / 2;
    EXPECT_EQ(shot.pixel(placed.width() / 4, middle), left);
    EXPECT_EQ(shot.pixel(placed.width() * 3 / 4, middle), right);
    EXPECT_EQ(shot.pixel(2, 2), 0xff000000u);
    EXPECT_NE(QGuiApplication::focusWindow(), window.windowHandle());
}
