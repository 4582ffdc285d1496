#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeTouchBar.h"
#include "fakes/TestSupport.h"
#include "shell/TouchBarStrip.h"
#include "touchbar/TouchBarWindow.h"

#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QWindow>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

namespace {

constexpr uint32_t kLeft = 0xff2040, kRight = 0x20ff40;

// The Touch Bar's picture: its left half one colour, its right half another, so a flipped or
// misplaced picture shows.
FramePtr twoColourPicture() {
    auto buffer = PixelBuffer::create(1085, 30, PixelBuffer::kBGRA);
    for (int y = 0; y < buffer->height(); ++y)
        for (int x = 0; x < buffer->width(); ++x) {
            const uint32_t pixel = 0xff000000u | (x < buffer->width() / 2 ? kLeft : kRight);
            std::memcpy(buffer->data() + y * buffer->bytesPerRow() + x * 4, &pixel, 4);
        }
    return buffer;
}

bool near(QRgb pixel, uint32_t rgb) {
    const auto close = [](int a, int b) { return std::abs(a - b) <= 8; };
    return close(qRed(pixel), int(rgb >> 16 & 0xff)) && close(qGreen(pixel), int(rgb >> 8 & 0xff)) &&
           close(qBlue(pixel), int(rgb & 0xff));
}

} // namespace

// On a real X server the strip shows the Touch Bar's picture on the main screen's bottom edge, takes a
// real click as a touch, and leaves the keyboard focus with the window that had it.
TEST(TouchBarScreenTest, TheStripShowsThePictureAndNeverTakesTheFocus) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server in DISPLAY";
    QScreen* screen = QGuiApplication::primaryScreen();
    FakeDisplayServices displays;
    displays.addDisplay({.id = 1, .bounds = QRectF(screen->geometry()), .name = "Main"});
    ZDVirtualScreenController display(displays);
    FakeTouchBar source;
    TouchBarStrip strip(source, display);

    // The application in front, holding the focus.
    QWidget front;
    front.setGeometry(100, 100, 300, 200);
    front.show();
    front.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return QGuiApplication::focusWindow() == front.windowHandle(); }));

    strip.showTouchBar();
    TouchBarWindow& window = *strip.touchBarWindow();
    EXPECT_TRUE(window.windowFlags().testFlags(Qt::Tool | Qt::WindowDoesNotAcceptFocus |
                                               Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint));
    std::thread([stream = source.streams.back()] {
        stream->deliver(DisplayStream::kFrameComplete, twoColourPicture());
    }).join();
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
    ASSERT_EQ(shot.size(), placed.size());
    const int middle = shot.height() / 2;
    EXPECT_TRUE(near(shot.pixel(shot.width() / 4, middle), kLeft))
        << std::hex << shot.pixel(shot.width() / 4, middle);
    EXPECT_TRUE(near(shot.pixel(shot.width() * 3 / 4, middle), kRight));
    EXPECT_TRUE(near(shot.pixel(2, 2), 0x000000)) << "the margin is black";

    // A real click on the strip: a touch for the Touch Bar, the focus where it was.
    const QPoint target = placed.center();
    QProcess click;
    click.start("xdotool",
                {"mousemove", QString::number(target.x()), QString::number(target.y()), "click", "1"});
    if (!click.waitForFinished(5000) || click.exitCode() != 0) GTEST_SKIP() << "xdotool could not click";
    ASSERT_TRUE(waitUntil([&] { return source.touches.size() >= 2; }));
    EXPECT_EQ(source.touches.front().activity, TouchBarSource::MouseActivity::kDown);
    EXPECT_NEAR(source.touches.front().point.x(), 542.5, 1.0);
    spinEventLoop(100);
    EXPECT_EQ(QGuiApplication::focusWindow(), front.windowHandle());
    EXPECT_NE(QGuiApplication::focusWindow(), window.windowHandle());
}
