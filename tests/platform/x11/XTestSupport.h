#pragma once

#include <QRect>
#include <QString>
#include <cstdint>

typedef struct _XDisplay Display;

// A connection of the test's own to the X server in $DISPLAY, to draw on the root window and move the
// pointer while the code under test watches through its own connection.
class XTestDisplay {
public:
    XTestDisplay();
    ~XTestDisplay();
    XTestDisplay(const XTestDisplay&) = delete;
    XTestDisplay& operator=(const XTestDisplay&) = delete;

    bool isOpen() const { return display_ != nullptr; }
    // Why the X tests cannot run here, or empty when they can.
    QString missing(std::initializer_list<const char*> extensions) const;

    QRect rootRect() const;
    // Fills a rectangle of the root window with 0xRRGGBB and waits until the server has drawn it.
    void fill(const QRect& rect, uint32_t rgb);
    void warpPointer(int x, int y);

    Display* display() const { return display_; }

private:
    Display* display_ = nullptr;
};

// 0xRRGGBB of a pixel in a BGRA picture.
uint32_t rgbAt(const uint8_t* data, int bytesPerRow, int x, int y);
// Whether two 0xRRGGBB colours differ by at most `tolerance` in every channel.
bool closeColour(uint32_t a, uint32_t b, int tolerance);
