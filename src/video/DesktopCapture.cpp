#include "video/DesktopCapture.h"

#include "base/Bundle.h"
#include "base/Logging.h"
#include "base/MainQueue.h"
#include "platform/DisplayServices.h"
#include "platform/SystemInfo.h"

#include <QDebug>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

// What the source shares with the handlers of its streams. A handler keeps it alive, so a stream that
// reports late (after the source is gone, or after it was abandoned) touches nothing freed.
struct DesktopCapture::State {
    mutable std::mutex lock;
    std::condition_variable streamCleared;

    std::shared_ptr<DisplayStream> displayStream; // guarded by lock
    uint64_t streamGeneration = 0;                // which stream displayStream is; guarded by lock
    uint64_t nextGeneration = 1;                  // guarded by lock
    // Streams that did not confirm their stop in time, kept until their stopped status comes.
    std::map<uint64_t, std::shared_ptr<DisplayStream>> abandoned; // guarded by lock

    FramePtr currentIOSurface;                     // guarded by lock
    uint64_t currentSerial = 0;                    // pictures stored so far; guarded by lock
    std::atomic<uint64_t> currentIOSurfaceTime{0}; // written under lock, read without
    std::shared_ptr<WakeSignal> arrival;           // guarded by lock

    void handle(uint64_t generation, DisplayStream::FrameStatus status, FramePtr frame) {
        if (status == DisplayStream::kStopped) {
            std::shared_ptr<DisplayStream> released; // let go outside the lock
            {
                std::lock_guard guard(lock);
                if (generation == streamGeneration && displayStream) {
                    released = std::move(displayStream);
                } else if (auto it = abandoned.find(generation); it != abandoned.end()) {
                    released = std::move(it->second);
                    abandoned.erase(it);
                }
            }
            streamCleared.notify_all();
            return;
        }
        if (!frame) return; // idle and blank statuses keep the previous picture current
        const uint64_t now = uint64_t(Clock::shared().uptime() * 1e9);
        FramePtr previous;
        std::shared_ptr<WakeSignal> told;
        {
            std::lock_guard guard(lock);
            // A stream that was replaced may still deliver a picture of the old size: it is not ours.
            if (generation != streamGeneration) return;
            previous = std::move(currentIOSurface);
            currentIOSurface = std::move(frame);
            ++currentSerial;
            currentIOSurfaceTime.store(now);
            told = arrival;
        }
        if (told) told->notify();
    }
};

DesktopCapture::DesktopCapture(Services services)
    : services_(std::move(services)), state_(std::make_shared<State>()) {}

DesktopCapture::~DesktopCapture() {
    stopDisplayStream();
    std::map<uint64_t, std::shared_ptr<DisplayStream>> abandoned;
    {
        std::lock_guard guard(state_->lock);
        abandoned.swap(state_->abandoned);
    }
}

void DesktopCapture::setActiveVideoDevice(const std::optional<AbstractCaptureDevice>& device) {
    if (!device) return;
    activeVideoDevice_ = device;
    currentDisplay_ = device->captureDevice();
    const QRectF bounds = services_.displays.bounds(currentDisplay_);
    // Twice the points unless the user asked for standard resolution; a mirrored display follows its
    // own switch.
    const double scales[] = {1.0, 2.0};
    const bool noRetina = services_.boolDefault(QStringLiteral("cloneDisplay"))
                              ? services_.boolDefault(QStringLiteral("cloneNoRetina"))
                              : services_.boolDefault(QStringLiteral("zubPadNoRetina"));
    const double scale = scales[noRetina ? 0 : 1];
    width_ = int32_t(bounds.width() * scale);
    height_ = int32_t(bounds.height() * scale);
    setupDisplayStream();
}

void DesktopCapture::setVideoCaptureFPS(double fps) {
    if (fps == videoCaptureFPS_.load()) return;
    videoCaptureFPS_.store(fps);
    if (fpsObserver_) fpsObserver_(fps);
    setupDisplayStream();
}

void DesktopCapture::setResolution(QSizeF size) {
    const int32_t w = int32_t(size.width()), h = int32_t(size.height());
    if (w == width_ && h == height_) return;
    width_ = w;
    height_ = h;
    setupDisplayStream();
}

bool DesktopCapture::setupDisplayStream() {
    const double fps = videoCaptureFPS_.load();
    if (currentDisplay_ == kNullDisplayID || fps == 0.0) return false;
    bool running;
    {
        std::lock_guard guard(state_->lock);
        running = state_->displayStream != nullptr;
    }
    if (running) {
        qCWarning(lcVideo).noquote() << kNotStoppedLog;
        stopDisplayStream();
    }

    DisplayStream::Properties properties;
    properties.minimumFrameTime = double(float(1000.0 / (fps * 1000.0)));
    properties.showCursor = !simulateCursor_;
    properties.preserveAspectRatio = true;

    uint64_t generation;
    {
        std::lock_guard guard(state_->lock);
        generation = state_->nextGeneration++;
    }
    const QRect source = services_.displays.bounds(currentDisplay_).toAlignedRect();
    auto handler = [state = state_, generation](DisplayStream::FrameStatus status, uint64_t, FramePtr frame) {
        state->handle(generation, status, std::move(frame));
    };
    std::shared_ptr<DisplayStream> stream = services_.streams.create(currentDisplay_, source, width_, height_,
                                                                     PixelBuffer::kBGRA, properties, handler);
    if (!stream) qCWarning(lcVideo, "cannot capture display %u at %dx%d", currentDisplay_, width_, height_);
    if (!stream) return false;
    {
        std::lock_guard guard(state_->lock);
        state_->displayStream = stream;
        state_->streamGeneration = generation;
    }
    if (const int32_t result = stream->start(); result != DisplayStream::kSuccess) {
        const QString name =
            Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleDisplayName")).toString();
        qCWarning(lcVideo).noquote()
            << QStringLiteral("[%1] Error: CGDisplayStreamStart: %2").arg(name).arg(result);
    }
    return true;
}

bool DesktopCapture::stopDisplayStream() {
    std::shared_ptr<DisplayStream> stream;
    uint64_t generation = 0;
    {
        std::lock_guard guard(state_->lock);
        stream = state_->displayStream;
        generation = state_->streamGeneration;
    }
    if (stream) {
        // Asked outside the lock: a stream may report its stop from within stop().
        const bool stopping = stream->stop() == DisplayStream::kSuccess;
        std::unique_lock guard(state_->lock);
        if (stopping) {
            // The handler clears the field when the stream reports its stop.
            state_->streamCleared.wait_for(guard, std::chrono::duration<double>(kStopWaitSeconds),
                                           [&] { return state_->displayStream != stream; });
        }
        if (state_->displayStream == stream) {
            // No confirmation: free the field at once and keep the stream aside until it reports.
            state_->abandoned.emplace(generation, std::move(state_->displayStream));
            state_->displayStream.reset();
        }
        state_->streamGeneration = 0;
    }
    FramePtr released;
    {
        std::lock_guard guard(state_->lock);
        released = std::move(state_->currentIOSurface);
    }
    return true;
}

bool DesktopCapture::isStreaming() const {
    std::lock_guard guard(state_->lock);
    return state_->displayStream != nullptr;
}

FramePtr DesktopCapture::getCurrentFrame(uint64_t* serial) const {
    std::lock_guard guard(state_->lock);
    if (serial) *serial = state_->currentSerial;
    return state_->currentIOSurface;
}

uint64_t DesktopCapture::currentFrameSerial() const {
    std::lock_guard guard(state_->lock);
    return state_->currentSerial;
}

void DesktopCapture::setFrameArrivalSignal(std::shared_ptr<WakeSignal> signal) {
    std::lock_guard guard(state_->lock);
    state_->arrival = std::move(signal);
}

uint64_t DesktopCapture::currentIOSurfaceTime() const {
    return state_->currentIOSurfaceTime.load();
}

std::vector<AbstractCaptureDevice> DesktopCapture::availableVideoDevices() const {
    std::vector<AbstractCaptureDevice> devices;
    for (DisplayID display : services_.displays.onlineDisplayList(15))
        devices.emplace_back(QString(), display, AbstractCaptureDevice::uniqueIDForDisplay(display));
    return devices;
}
