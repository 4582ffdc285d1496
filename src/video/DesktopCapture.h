#pragma once

#include "base/Clock.h"
#include "platform/DisplayStream.h"
#include "video/AbstractCaptureDevice.h"

#include <QSizeF>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class DisplayServices;
class SystemInfo;

// The picture source of the stream: captures one display through a display stream, keeps only the
// newest picture with its time, and hands that picture out whenever the frame clock asks. Nothing is
// pushed: a picture that arrives twice between two pulls is replaced, a pull without a new arrival
// gets the same picture again.
//
// The display is chosen, sized and restarted on the main thread; getCurrentFrame and
// currentIOSurfaceTime are called from the frame clock's thread; the stream's handler runs on the
// stream's own thread ("ZubDesktop.capture.queue"). The newest picture and its time change only under
// this object's lock.
class DesktopCapture {
public:
    // The boolean user default of a key ("cloneDisplay", "cloneNoRetina", "zubPadNoRetina"); absent
    // keys read false.
    using BoolDefault = std::function<bool(const QString& key)>;

    struct Services {
        DisplayStreamFactory& streams;
        DisplayServices& displays;
        const SystemInfo& systemInfo;
        BoolDefault boolDefault;
    };

    // The two lines this source logs.
    static inline const QString kNotStoppedLog =
        QStringLiteral("[ZubDisplay] Previous display stream is not stopped yet");
    // A stream that has not confirmed its stop by then is abandoned.
    static constexpr double kStopWaitSeconds = 2.1;

    explicit DesktopCapture(Services services);
    ~DesktopCapture();
    DesktopCapture(const DesktopCapture&) = delete;
    DesktopCapture& operator=(const DesktopCapture&) = delete;

    // Chooses the display, sizes the picture by the scale the user defaults ask for, and (re)starts the
    // stream. No device changes nothing.
    void setActiveVideoDevice(const std::optional<AbstractCaptureDevice>& device);
    const std::optional<AbstractCaptureDevice>& activeVideoDevice() const { return activeVideoDevice_; }

    // A new rate rebuilds the stream; the same rate does nothing. The observer hears every change.
    void setVideoCaptureFPS(double fps);
    double videoCaptureFPS() const { return videoCaptureFPS_.load(); }
    void setVideoCaptureFPSObserver(std::function<void(double)> observer) {
        fpsObserver_ = std::move(observer);
    }

    // A new size (compared as whole pixels) rebuilds the stream.
    void setResolution(QSizeF size);

    // Whether a stream was made.
    bool setupDisplayStream();
    bool stopDisplayStream();
    // Whether a stream is stored (made and not stopped).
    bool isStreaming() const;

    // The newest picture, shared with the source (it stays valid while newer ones arrive), or none;
    // with `serial`, also which picture it is (see currentFrameSerial).
    FramePtr getCurrentFrame(uint64_t* serial = nullptr) const;
    // Counts the pictures stored so far: a pull that finds a higher number than the last one it took
    // has a new picture.
    uint64_t currentFrameSerial() const;
    // Notified on the stream's thread each time a new picture is stored, so that a frame clock waiting
    // for one takes it at once; none: nobody is told.
    void setFrameArrivalSignal(std::shared_ptr<WakeSignal> signal);
    // One device per online display, in the system's order.
    std::vector<AbstractCaptureDevice> availableVideoDevices() const;

    bool providesVideo() const { return true; }
    bool providesAudio() const { return false; }
    bool needsAdvancedVideo() const { return false; }

    // Plain accessors: a change takes effect at the next setupDisplayStream.
    bool simulateCursor() const { return simulateCursor_; }
    void setSimulateCursor(bool simulate) { simulateCursor_ = simulate; }
    int32_t width() const { return width_; }
    void setWidth(int32_t width) { width_ = width; }
    int32_t height() const { return height_; }
    void setHeight(int32_t height) { height_ = height; }
    DisplayID currentDisplay() const { return currentDisplay_; }

    // Monotonic nanoseconds (Clock uptime) of the newest picture, 0 before the first.
    uint64_t currentIOSurfaceTime() const;

    struct State;

private:
    Services services_;
    std::shared_ptr<State> state_;
    DisplayID currentDisplay_ = kNullDisplayID;
    bool simulateCursor_ = false;
    int32_t width_ = 0, height_ = 0;
    std::optional<AbstractCaptureDevice> activeVideoDevice_;
    std::atomic<double> videoCaptureFPS_{0.0};
    std::function<void(double)> fpsObserver_;
};
