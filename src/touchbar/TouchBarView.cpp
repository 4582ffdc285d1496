#include "touchbar/TouchBarView.h"

#include "base/MainQueue.h"

#include <QMouseEvent>
#include <QPainter>
#include <mutex>

// The newest picture between the stream's thread and the main thread. The stream never waits for the
// main thread (which may itself be stopping the stream), and at most one picture is held or in flight:
// a newer one replaces it.
struct TouchBarView::Mailbox {
    std::mutex mutex;
    FramePtr newest;
    bool posted = false;
};

TouchBarView::TouchBarView(TouchBarSource& source, QWidget* parent)
    : QWidget(parent), source_(source), mailbox_(std::make_shared<Mailbox>()) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    // A Touch Bar that refuses the first start may be left streaming to someone else: reset it once.
    if (startStreaming() != DisplayStream::kSuccess) {
        source_.setStatus(TouchBarSource::kStatusStopped);
        stream_.reset();
        if (startStreaming() != DisplayStream::kSuccess) {
            // No picture then, and no Touch Bar left believing it is watched.
            source_.setStatus(TouchBarSource::kStatusStopped);
            stream_.reset();
        }
    }
}

TouchBarView::~TouchBarView() {
    stopTouchBar();
}

int32_t TouchBarView::startStreaming() {
    if (!source_.available()) return DisplayStream::kSuccess;
    source_.setStatus(TouchBarSource::kStatusStreaming);
    stream_ = makeStream();
    return stream_ ? stream_->start() : int32_t(DisplayStream::kFailure);
}

std::shared_ptr<DisplayStream> TouchBarView::makeStream() {
    return source_.createStream([mailbox = mailbox_, view = lifetime_.guard()](
                                    DisplayStream::FrameStatus status, uint64_t, FramePtr frame) {
        if (status != DisplayStream::kFrameComplete || !frame) return;
        {
            std::lock_guard lock(mailbox->mutex);
            mailbox->newest = std::move(frame);
            if (mailbox->posted) return;
            mailbox->posted = true;
        }
        mainQueue().async([mailbox, view] {
            FramePtr newest;
            {
                std::lock_guard lock(mailbox->mutex);
                newest = std::move(mailbox->newest);
                mailbox->posted = false;
            }
            if (view && newest) view->showPicture(newest);
        });
    });
}

void TouchBarView::stopTouchBar() {
    if (!stream_) return;
    source_.setStatus(TouchBarSource::kStatusStopped);
    stream_->stop();
    stream_.reset();
}

void TouchBarView::showPicture(const FramePtr& frame) {
    // Only whole BGRA pictures are shown; anything else keeps the last good one.
    if (frame->format() != PixelBuffer::kBGRA || frame->width() <= 0 || frame->height() <= 0 ||
        frame->bytesPerRow() < frame->width() * 4 || !frame->data())
        return;
    // The image reads the stream's memory in place and keeps the picture alive while it does.
    picture_ = QImage(
        frame->data(), frame->width(), frame->height(), frame->bytesPerRow(), QImage::Format_RGB32,
        [](void* held) { delete static_cast<FramePtr*>(held); }, new FramePtr(frame));
    update();
}

void TouchBarView::setTouchBarViewFrame(const QRectF& frame) {
    displayFrame_ = frame;
    update();
}

void TouchBarView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (picture_.isNull()) return;
    const QRectF target(displayFrame_.x(), frameSize_.height() - displayFrame_.y() - displayFrame_.height(),
                        displayFrame_.width(), displayFrame_.height());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, picture_);
}

void TouchBarView::commonMouseEvent(TouchBarSource::MouseActivity activity, QPointF position) {
    // A picture of no size (no screen to span) has no points to touch, and nothing to divide by.
    if (!source_.available() || displayFrame_.width() <= 0 || displayFrame_.height() <= 0) return;
    const double x = position.x() - displayFrame_.x();
    const double y = frameSize_.height() - position.y() - displayFrame_.y();
    source_.postEvent(activity, QPointF(x * kPictureWidth / displayFrame_.width(),
                                        y * kPictureHeight / displayFrame_.height()));
}

void TouchBarView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        commonMouseEvent(TouchBarSource::MouseActivity::kDown, event->position());
}

void TouchBarView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        commonMouseEvent(TouchBarSource::MouseActivity::kUp, event->position());
}

void TouchBarView::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton)
        commonMouseEvent(TouchBarSource::MouseActivity::kDragged, event->position());
}
