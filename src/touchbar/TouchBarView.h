#pragma once

#include "base/Lifetime.h"
#include "platform/TouchBarSource.h"

#include <QImage>
#include <QRectF>
#include <QSizeF>
#include <QWidget>
#include <memory>

// The strip's content: the newest picture of the Touch Bar inside a margin, on black, and the mouse
// on it turned back into Touch Bar touches. The picture stream starts with the view and runs until
// stopTouchBar or the view's end. Main thread, except for the stream's handler.
class TouchBarView final : public QWidget {
    Q_OBJECT

public:
    static constexpr double kPictureWidth = 1085;
    static constexpr double kPictureHeight = 30;
    static constexpr double kMargin = 5;

    explicit TouchBarView(TouchBarSource& source, QWidget* parent = nullptr);
    ~TouchBarView() override;
    TouchBarView(const TouchBarView&) = delete;
    TouchBarView& operator=(const TouchBarView&) = delete;

    // The stream's start result, 0 on success; also 0 when there is nothing to stream.
    int32_t startStreaming();
    void stopTouchBar();
    bool isStreaming() const { return stream_ != nullptr; }

    // The picture's place in the view, with the origin at the view's bottom left.
    void setTouchBarViewFrame(const QRectF& frame);
    QRectF displayFrame() const { return displayFrame_; }
    // The view's exact size: the desktop places it in whole pixels, touches need the fraction.
    void setFrameSize(const QSizeF& size) { frameSize_ = size; }
    QSizeF frameSize() const { return frameSize_; }
    // The newest picture; null until the first one arrives.
    const QImage& picture() const { return picture_; }

    // Posts the touch under `position` (the view's own top-left-origin coordinates) in Touch Bar points.
    void commonMouseEvent(TouchBarSource::MouseActivity activity, QPointF position);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    struct Mailbox;
    std::shared_ptr<DisplayStream> makeStream();
    void showPicture(const FramePtr& frame);

    TouchBarSource& source_;
    std::shared_ptr<DisplayStream> stream_;
    QRectF displayFrame_{kMargin, kMargin, kPictureWidth, kPictureHeight};
    QSizeF frameSize_{kPictureWidth + 2 * kMargin, kPictureHeight + 2 * kMargin};
    QImage picture_;
    std::shared_ptr<Mailbox> mailbox_;
    Lifetime<TouchBarView> lifetime_{this};
};
