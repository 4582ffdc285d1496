#include "platform/x11/X11DisplayStream.h"

#include "base/Logging.h"
#include "platform/FramePool.h"
#include "platform/x11/XConnection.h"
#include "platform/x11/XCursorImage.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

uint64_t monotonicNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// Where the scaled picture lands inside the output: all of it, or centred with black bars when the
// aspect ratio is to be kept.
QRect placement(const QSize& source, int outW, int outH, bool preserveAspectRatio) {
    if (!preserveAspectRatio || source.isEmpty()) return QRect(0, 0, outW, outH);
    const double scale = std::min(double(outW) / source.width(), double(outH) / source.height());
    const int w = std::clamp(int(std::lround(source.width() * scale)), 1, outW);
    const int h = std::clamp(int(std::lround(source.height() * scale)), 1, outH);
    return QRect((outW - w) / 2, (outH - h) / 2, w, h);
}

// Blacks out what lies outside the picture's place (the bars of a kept aspect ratio): pool buffers
// start with any contents.
void clearBars(PixelBuffer& buffer, const QRect& dest) {
    const int w = buffer.width(), h = buffer.height();
    if (dest == QRect(0, 0, w, h)) return;
    const int stride = buffer.bytesPerRow();
    uint8_t* data = buffer.data();
    libyuv::ARGBRect(data, stride, 0, 0, w, dest.top(), 0);
    libyuv::ARGBRect(data, stride, 0, dest.bottom() + 1, w, h - dest.bottom() - 1, 0);
    libyuv::ARGBRect(data, stride, 0, dest.top(), dest.left(), dest.height(), 0);
    libyuv::ARGBRect(data, stride, dest.right() + 1, dest.top(), w - dest.right() - 1, dest.height(), 0);
}

class X11DisplayStream final : public DisplayStream {
public:
    struct Shared;

    explicit X11DisplayStream(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    ~X11DisplayStream() override;

    int32_t start() override;
    int32_t stop() override;
    void refresh() override;

private:
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    std::atomic<bool> started_{false};
};

// What the stream object and its thread share. The thread keeps it alive, so a stream released from
// within its own handler finishes cleanly.
struct X11DisplayStream::Shared {
    Display* display = nullptr;
    int wakeFd = -1;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> refreshRequested{false};

    QRect sourceBounds;
    int outputWidth = 0, outputHeight = 0;
    DisplayStream::Properties properties;
    DisplayStream::Handler handler;

    ~Shared() {
        if (display) XCloseDisplay(display);
        if (wakeFd >= 0) close(wakeFd);
    }
    void wake() const {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
    }
};

// The capture loop, on the stream's own thread with the stream's own connection.
class CaptureLoop {
public:
    explicit CaptureLoop(X11DisplayStream::Shared& s)
        : s_(s), dpy_(s.display),
          pool_(s.outputWidth, s.outputHeight, PixelBuffer::kBGRA, X11DisplayStreamFactory::kPoolSize) {}
    ~CaptureLoop();

    void run();

private:
    void setUp();
    void updateRootGeometry(int width, int height);
    bool makeShmImage();
    void dropShmImage();
    void handleEvents();
    bool pointerMoved();
    void refreshCursorImage();
    bool captureOnce();
    void drawCursor(PixelBuffer& buffer, const QRect& dest);

    // A wake this close after its slot still counts as on time.
    static constexpr uint64_t kOnTime = 1000000;

    X11DisplayStream::Shared& s_;
    Display* dpy_;
    FramePool pool_;
    Window root_ = 0;
    QRect rootRect_;
    QRect captureRect_; // source bounds clipped to the root window

    int damageEventBase_ = 0, fixesEventBase_ = 0;
    bool haveDamage_ = false, haveFixes_ = false, haveShm_ = false;
    Damage damage_ = 0;
    XserverRegion damageRegion_ = 0;

    XShmSegmentInfo shmInfo_{};
    XImage* shmImage_ = nullptr;

    bool dirty_ = true; // the first picture goes out at once
    uint64_t dirtySince_ = 0; // when the change the next picture shows was first seen
    uint64_t lastFrameTime_ = 0;
    bool delivered_ = false;
    // A capture that fails is logged once per stream.
    bool captureFailureSaid_ = false;

    // The pointer, in root coordinates, and its image (premultiplied ARGB).
    bool showCursor_ = false;
    QPoint pointer_{-1, -1};
    QPoint hotSpot_;
    QSize cursorSize_;
    std::vector<uint32_t> cursorPixels_;
};

CaptureLoop::~CaptureLoop() {
    dropShmImage();
    if (damageRegion_) XFixesDestroyRegion(dpy_, damageRegion_);
    if (damage_) XDamageDestroy(dpy_, damage_);
    XSync(dpy_, False);
}

void CaptureLoop::setUp() {
    root_ = DefaultRootWindow(dpy_);
    XWindowAttributes attributes{};
    XGetWindowAttributes(dpy_, root_, &attributes);
    XSelectInput(dpy_, root_, StructureNotifyMask);
    updateRootGeometry(attributes.width, attributes.height);

    int errorBase = 0;
    haveDamage_ = XDamageQueryExtension(dpy_, &damageEventBase_, &errorBase);
    haveFixes_ = XFixesQueryExtension(dpy_, &fixesEventBase_, &errorBase);
    if (haveDamage_ && haveFixes_) {
        damage_ = XDamageCreate(dpy_, root_, XDamageReportNonEmpty);
        damageRegion_ = XFixesCreateRegion(dpy_, nullptr, 0);
    }
    showCursor_ = s_.properties.showCursor && haveFixes_;
    if (showCursor_) {
        XFixesSelectCursorInput(dpy_, root_, XFixesDisplayCursorNotifyMask);
        refreshCursorImage();
    }
    haveShm_ = XShmQueryExtension(dpy_) && makeShmImage();
}

void CaptureLoop::updateRootGeometry(int width, int height) {
    rootRect_ = QRect(0, 0, width, height);
    const QRect clipped = s_.sourceBounds.intersected(rootRect_);
    if (clipped == captureRect_) return;
    captureRect_ = clipped;
    if (shmImage_) {
        dropShmImage();
        haveShm_ = makeShmImage();
    }
    dirty_ = true;
}

bool CaptureLoop::makeShmImage() {
    if (captureRect_.isEmpty()) return false;
    const int screen = DefaultScreen(dpy_);
    XImage* image =
        XShmCreateImage(dpy_, DefaultVisual(dpy_, screen), unsigned(DefaultDepth(dpy_, screen)), ZPixmap,
                        nullptr, &shmInfo_, unsigned(captureRect_.width()), unsigned(captureRect_.height()));
    if (!image) return false;
    if (image->bits_per_pixel != 32) {
        XDestroyImage(image);
        return false;
    }
    shmInfo_.shmid =
        shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * size_t(image->height), IPC_CREAT | 0600);
    if (shmInfo_.shmid < 0) {
        XDestroyImage(image);
        return false;
    }
    shmInfo_.shmaddr = image->data = static_cast<char*>(shmat(shmInfo_.shmid, nullptr, 0));
    // Marked for removal at once: the segment goes away with the last attachment, even after a crash.
    shmctl(shmInfo_.shmid, IPC_RMID, nullptr);
    if (shmInfo_.shmaddr == reinterpret_cast<char*>(-1)) {
        image->data = nullptr;
        XDestroyImage(image);
        return false;
    }
    shmInfo_.readOnly = False;
    threadLastXError() = 0;
    XShmAttach(dpy_, &shmInfo_);
    XSync(dpy_, False);
    if (threadLastXError() != 0) { // a server on another machine cannot share memory with us
        shmdt(shmInfo_.shmaddr);
        image->data = nullptr;
        XDestroyImage(image);
        return false;
    }
    shmImage_ = image;
    return true;
}

void CaptureLoop::dropShmImage() {
    if (!shmImage_) return;
    XShmDetach(dpy_, &shmInfo_);
    XSync(dpy_, False);
    shmdt(shmInfo_.shmaddr);
    shmImage_->data = nullptr;
    XDestroyImage(shmImage_);
    shmImage_ = nullptr;
}

void CaptureLoop::handleEvents() {
    bool damaged = false;
    while (XPending(dpy_) > 0) {
        XEvent event;
        XNextEvent(dpy_, &event);
        if (haveDamage_ && event.type == damageEventBase_ + XDamageNotify) {
            damaged = true;
        } else if (haveFixes_ && event.type == fixesEventBase_ + XFixesCursorNotify) {
            if (showCursor_) {
                refreshCursorImage();
                dirty_ = true;
            }
        } else if (event.type == ConfigureNotify && event.xconfigure.window == root_) {
            updateRootGeometry(event.xconfigure.width, event.xconfigure.height);
        }
    }
    if (!damaged || !damage_) return;
    // One subtraction for the whole batch; only damage that touches the captured area counts.
    XDamageSubtract(dpy_, damage_, None, damageRegion_);
    int count = 0;
    XRectangle* rects = XFixesFetchRegion(dpy_, damageRegion_, &count);
    for (int i = 0; i < count && !dirty_; ++i)
        if (captureRect_.intersects(QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height)))
            dirty_ = true;
    if (rects) XFree(rects);
}

bool CaptureLoop::pointerMoved() {
    Window rootReturn = 0, child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    if (!XQueryPointer(dpy_, root_, &rootReturn, &child, &x, &y, &wx, &wy, &mask)) return false;
    if (QPoint(x, y) == pointer_) return false;
    const bool wasInside = captureRect_.contains(pointer_);
    pointer_ = QPoint(x, y);
    return wasInside || captureRect_.contains(pointer_);
}

void CaptureLoop::refreshCursorImage() {
    std::optional<XCursorImage> image = readXCursorImage(dpy_);
    if (!image) return;
    cursorSize_ = image->size;
    hotSpot_ = image->hotSpot;
    pointer_ = image->position;
    cursorPixels_ = std::move(image->pixels);
}

void CaptureLoop::drawCursor(PixelBuffer& buffer, const QRect& dest) {
    if (cursorPixels_.empty() || captureRect_.isEmpty()) return;
    const double sx = double(dest.width()) / captureRect_.width();
    const double sy = double(dest.height()) / captureRect_.height();
    const int scale = std::max(1, int(std::lround(std::min(sx, sy))));
    const int originX = dest.x() + int(std::lround((pointer_.x() - hotSpot_.x() - captureRect_.x()) * sx));
    const int originY = dest.y() + int(std::lround((pointer_.y() - hotSpot_.y() - captureRect_.y()) * sy));
    const int w = cursorSize_.width() * scale, h = cursorSize_.height() * scale;
    const int x0 = std::max(originX, dest.left()), x1 = std::min(originX + w, dest.x() + dest.width());
    const int y0 = std::max(originY, dest.top()), y1 = std::min(originY + h, dest.y() + dest.height());
    for (int y = y0; y < y1; ++y) {
        const uint32_t* srcRow =
            cursorPixels_.data() + size_t((y - originY) / scale) * size_t(cursorSize_.width());
        uint8_t* dst = buffer.data() + size_t(y) * size_t(buffer.bytesPerRow()) + size_t(x0) * 4;
        for (int x = x0; x < x1; ++x, dst += 4) {
            const uint32_t p = srcRow[(x - originX) / scale];
            const uint32_t a = p >> 24;
            if (a == 0) continue;
            const uint32_t keep = 255 - a; // premultiplied: out = src + dst * (1 - alpha)
            dst[0] = uint8_t(std::min<uint32_t>(255, (p & 0xff) + (dst[0] * keep + 127) / 255));
            dst[1] = uint8_t(std::min<uint32_t>(255, ((p >> 8) & 0xff) + (dst[1] * keep + 127) / 255));
            dst[2] = uint8_t(std::min<uint32_t>(255, ((p >> 16) & 0xff) + (dst[2] * keep + 127) / 255));
            dst[3] = 255;
        }
    }
}

bool CaptureLoop::captureOnce() {
    if (captureRect_.isEmpty()) return false;
    std::shared_ptr<PixelBuffer> buffer = pool_.acquire();
    if (!buffer) return false; // every picture is still held downstream; try again at the next slot

    XImage* image = nullptr;
    bool ownImage = false;
    threadLastXError() = 0;
    if (haveShm_) {
        if (XShmGetImage(dpy_, root_, shmImage_, captureRect_.x(), captureRect_.y(), AllPlanes))
            image = shmImage_;
    } else {
        image = XGetImage(dpy_, root_, captureRect_.x(), captureRect_.y(), unsigned(captureRect_.width()),
                          unsigned(captureRect_.height()), AllPlanes, ZPixmap);
        ownImage = image != nullptr;
    }
    if (!image || threadLastXError() != 0 || image->bits_per_pixel != 32) {
        if (!std::exchange(captureFailureSaid_, true))
            qCWarning(lcPlatform, "capture: the X server gives no picture of the screen");
        if (ownImage) XDestroyImage(image);
        return false;
    }

    const QRect dest =
        placement(captureRect_.size(), s_.outputWidth, s_.outputHeight, s_.properties.preserveAspectRatio);
    clearBars(*buffer, dest);
    const auto* src = reinterpret_cast<const uint8_t*>(image->data);
    uint8_t* dst = buffer->data() + size_t(dest.y()) * size_t(buffer->bytesPerRow()) + size_t(dest.x()) * 4;
    if (dest.size() == captureRect_.size()) {
        libyuv::ARGBCopy(src, image->bytes_per_line, dst, buffer->bytesPerRow(), dest.width(), dest.height());
    } else {
        // A whole-number enlargement repeats pixels exactly, as a high-density display shows plain content.
        const bool whole = dest.width() % captureRect_.width() == 0 &&
                           dest.height() % captureRect_.height() == 0 &&
                           dest.width() / captureRect_.width() == dest.height() / captureRect_.height();
        libyuv::ARGBScale(src, image->bytes_per_line, captureRect_.width(), captureRect_.height(), dst,
                          buffer->bytesPerRow(), dest.width(), dest.height(),
                          whole ? libyuv::kFilterNone : libyuv::kFilterBilinear);
    }
    if (ownImage) XDestroyImage(image);
    if (showCursor_) drawCursor(*buffer, dest);

    // The picture's time is when its change was seen, so that the time to the wire can be told.
    s_.handler(DisplayStream::kFrameComplete, dirtySince_, std::move(buffer));
    return true;
}

void CaptureLoop::run() {
    setUp();
    // Without the Damage extension nothing tells us about changes, so every slot is captured: then the
    // slots must not come faster than a usual display refresh.
    const bool watchesDamage = haveDamage_ && damage_;
    const double gapSeconds = std::max(s_.properties.minimumFrameTime, watchesDamage ? 0.0 : 1.0 / 30);
    const uint64_t minimumGap = uint64_t(gapSeconds * 1e9);
    const int xfd = ConnectionNumber(dpy_);
    dirtySince_ = monotonicNanoseconds();
    while (!s_.stopRequested.load()) {
        const bool wasDirty = dirty_;
        handleEvents();
        if (s_.refreshRequested.exchange(false)) dirty_ = true;
        if (showCursor_ && pointerMoved()) dirty_ = true;
        if (!watchesDamage) dirty_ = true;

        const uint64_t now = monotonicNanoseconds();
        if (dirty_ && !wasDirty) dirtySince_ = now;
        int64_t timeoutNs = -1;
        if (dirty_) {
            const uint64_t due = delivered_ ? lastFrameTime_ + minimumGap : now;
            if (now >= due) {
                if (captureOnce()) {
                    dirty_ = false;
                    // The slot is the one that was due when the loop woke for it on time, so that the
                    // wake's own delay does not make every slot later than the minimum frame time;
                    // after a longer delay (a busy machine) the slots start again from now.
                    lastFrameTime_ = delivered_ && now - due < kOnTime ? due : now;
                    delivered_ = true;
                }
                timeoutNs = dirty_ ? int64_t(std::max<uint64_t>(minimumGap, 5000000)) : -1;
            } else {
                // Woken at the slot itself, not at the next whole millisecond after it.
                timeoutNs = int64_t(due - now);
            }
        }
        // The pointer does not damage anything: while it is drawn in, look at it once a slot.
        if (showCursor_ && timeoutNs < 0) timeoutNs = int64_t(std::max<uint64_t>(minimumGap, 10000000));

        XFlush(dpy_);
        if (XPending(dpy_) > 0) continue;
        pollfd fds[2] = {{xfd, POLLIN, 0}, {s_.wakeFd, POLLIN, 0}};
        const timespec timeout{time_t(timeoutNs / 1000000000), long(timeoutNs % 1000000000)};
        if (ppoll(fds, 2, timeoutNs < 0 ? nullptr : &timeout, nullptr) > 0 && (fds[1].revents & POLLIN)) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t n = read(s_.wakeFd, &count, sizeof count);
        }
    }
}

X11DisplayStream::~X11DisplayStream() {
    shared_->stopRequested.store(true);
    shared_->wake();
    if (!thread_.joinable()) return;
    // Released from within its own handler: the thread finishes on its own, holding what it needs.
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

int32_t X11DisplayStream::start() {
    if (started_.exchange(true)) return kInvalidOperation;
    thread_ = std::thread([shared = shared_] {
        // The kernel keeps 15 characters of a thread name.
        prctl(PR_SET_NAME, "ZubDesktop.capture.queue", 0, 0, 0);
        {
            CaptureLoop loop(*shared);
            loop.run();
        }
        shared->handler(kStopped, monotonicNanoseconds(), nullptr);
    });
    return kSuccess;
}

int32_t X11DisplayStream::stop() {
    if (!started_.load() || shared_->stopRequested.exchange(true)) return kInvalidOperation;
    shared_->wake();
    return kSuccess;
}

void X11DisplayStream::refresh() {
    shared_->refreshRequested.store(true);
    shared_->wake();
}

} // namespace

X11DisplayStreamFactory::X11DisplayStreamFactory(QByteArray displayName)
    : displayName_(std::move(displayName)) {}

std::shared_ptr<DisplayStream> X11DisplayStreamFactory::create(uint32_t, const QRect& sourceBounds,
                                                               int outputWidth, int outputHeight,
                                                               PixelBuffer::Format format,
                                                               const DisplayStream::Properties& properties,
                                                               DisplayStream::Handler handler) {
    if (format != PixelBuffer::kBGRA || outputWidth <= 0 || outputHeight <= 0 || sourceBounds.isEmpty() ||
        !handler)
        return nullptr;
    // A picture larger than this is no display we know of, and its size would overflow the row math.
    if (outputWidth > 16384 || outputHeight > 16384) return nullptr;
    installXErrorHandler();
    auto shared = std::make_shared<X11DisplayStream::Shared>();
    shared->display = openXDisplay(displayName_.isEmpty() ? nullptr : displayName_.constData());
    if (!shared->display)
        qCWarning(lcPlatform, "capture: cannot open the X display %s",
                  (displayName_.isEmpty() ? qgetenv("DISPLAY") : displayName_).constData());
    if (!shared->display) return nullptr;
    const int screen = DefaultScreen(shared->display);
    const QRect rootRect(0, 0, DisplayWidth(shared->display, screen), DisplayHeight(shared->display, screen));
    if (!rootRect.intersects(sourceBounds))
        qCWarning(lcPlatform, "capture: the display lies outside the X screen");
    if (!rootRect.intersects(sourceBounds)) return nullptr;
    shared->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (shared->wakeFd < 0) return nullptr;
    shared->sourceBounds = sourceBounds;
    shared->outputWidth = outputWidth;
    shared->outputHeight = outputHeight;
    shared->properties = properties;
    shared->handler = std::move(handler);
    return std::make_shared<X11DisplayStream>(std::move(shared));
}
