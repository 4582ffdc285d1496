#pragma once

#include "base/Clock.h"
#include "base/Lifetime.h"
#include "video/CompressorBase.h"
#include "video/DesktopCapture.h"
#include "video/OutputDestination.h"

#include <QMap>
#include <QSizeF>
#include <QVariantMap>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

class AppleVTCompressor;
class DisplayServices;
class EncoderServices;
class StreamDefaults;
class StreamHost;
class SystemInfo;

// The stream half of the session controller: owns the capture source, the compressor table and the
// output destination; starts and stops the stream when the device asks for pictures or goes away;
// announces the picture size when the resolution changes; and runs the frame clock, a loop on its own
// thread ("ZubDisplay.capture.queue") that pulls the newest captured picture at the target rate and
// hands it to the encoder with a presentation time. While streaming it keeps the display awake when
// the user asked for that.
//
// Everything but the frame clock runs on the main thread. The clock sleeps to absolute deadlines
// (start time plus whole intervals) through the shared Clock, skips slots it is late for, and drops to
// polling every 100 ms (idle mode) when the display has delivered nothing for a second. Each slot
// sends one picture: a new one at once; when none is there yet, the first the capture stores before
// the next slot, as it arrives (the capture wakes the clock), and the schedule then goes on from that
// arrival; when none comes, the unchanged picture as the slot ends. Pictures are thus an interval
// apart at least (but after an unchanged one). A new picture ends the idle wait at once too.
class StreamController : public CompressorSettingsController {
public:
    struct Services {
        DisplayStreamFactory& streams;
        DisplayServices& displays;
        const SystemInfo& systemInfo;
        StreamDefaults& defaults;
        // Holds (true) or lets go (false) of the display's wakefulness, giving the reason; false when
        // the system offers no way. Empty: the display is left alone.
        std::function<bool(bool prevent, const QString& reason)> preventDisplaySleep;
        std::shared_ptr<EncoderServices> encoders;
        // How the destination puts a video frame on the channel; empty: the channel's own send, on the
        // main thread.
        OutputDestination::FrameWriter writer;
        // The "Defaults" resource; invalid: the bundle's own.
        QVariant resource;
    };

    static inline const QString kActivityReason = QStringLiteral("Zub Pad is capturing video");
    // The interval that marks idle mode.
    static constexpr double kIdleInterval = 0.1;

    // Loads the settings; the session starts its link itself afterwards. `host` may be null (messages
    // and cursor calls are then skipped) and must outlive the controller.
    StreamController(Services services, StreamHost* host);
    ~StreamController() override;
    StreamController(const StreamController&) = delete;
    StreamController& operator=(const StreamController&) = delete;

    void loadSettings();
    void setSelectedVideoType(const QString& type);
    const QString& selectedVideoType() const { return selectedVideoType_; }
    bool selectedVideoCaptureFromID(const QString& uniqueID);
    // Enters the compressor under its name (the stream has one); returns the name.
    QString addCompressor(std::shared_ptr<CompressorBase> compressor);
    bool setupCompressors();

    bool startStream();
    void stopStream();
    // As stopStream, but tells the device nothing (it is gone).
    void resetStream();
    void resetResolution(DisplayID displayID);
    // The primary display, the one a stream set up again from scratch shows.
    DisplayID mainDisplayID() const;

    void setupFrameTimer();
    double frameInterval() const { return frameInterval_.load(); }

    double mach_time_seconds() const;
    // Sleeps the frame clock to an absolute deadline; false when it had passed, or the stream stops or
    // the capture stores a new picture meanwhile.
    bool sleepUntil(double deadline) const;
    void preventDisplaySleep(bool prevent);

    // -- CompressorSettingsController
    double captureFPS() const override;
    std::shared_ptr<CompressorBase> compressorNamed(const QString& name) const override;
    std::shared_ptr<CompressorBase> selectedCompressor() const override { return nullptr; }

    int streamsActiveCount() const;
    // Stops a running stream with active destinations, as the application quits.
    void applicationWillTerminate();

    // -- State, for the session and for tests.
    bool captureRunning() const { return captureRunning_.load(); }
    DesktopCapture* videoCaptureSession() const { return videoCaptureSession_.get(); }
    const QMap<QString, std::shared_ptr<CompressorBase>>& compressors() const { return compressors_; }
    const std::vector<std::unique_ptr<OutputDestination>>& captureDestinations() const {
        return captureDestinations_;
    }
    // The encoder frames go through: the compressor of the last destination.
    AppleVTCompressor* activeCompressor() const;
    // Whether that encoder runs on hardware (reported to the device as "H264:1").
    bool bH264HWCodec() const;
    QSize prevSize() const { return QSize(prevWidth_, prevHeight_); }

private:
    void stop(bool tellDevice);
    void newFrameTimed();
    // Sleeps to the slot; false when the slot's whole interval had passed (it is skipped) or the stream
    // stops.
    bool sleepToSlot(double slot, double interval);
    // One picture for the slot, whose turn lasts until `end`: a new one at once, else the first to
    // arrive before `end` at its arrival, else the unchanged one at `end`. Returns the time the
    // schedule goes on from: the slot, or the arrival.
    double takePicture(double slot, double end);
    // Whether the capture holds a picture the clock has not taken yet.
    bool hasNewPicture() const;
    void newFrame();
    void processVideoFrame(const FramePtr& frame);
    bool isFresh() const;
    void cancelPendingStart();

    Services services_;
    StreamHost* host_;

    bool displaySleepPrevented_ = false; // the activity token
    double firstFrameTime_ = 0;          // frame clock thread
    QString selectedVideoType_;
    std::thread mainCaptureQueue_; // "ZubDisplay.capture.queue": the frame clock while a stream runs
    // Cuts the clock's sleep short when the stream stops, or when the capture stores a new picture.
    const std::shared_ptr<WakeSignal> clockWake_ = std::make_shared<WakeSignal>();
    std::atomic<double> frameInterval_{1.0 / 60};
    double tempFrameInterval_ = 0; // frame clock thread
    double frameTime_ = 0;         // frame clock thread
    uint64_t takenSerial_ = 0;     // the capture's serial of the picture taken last; frame clock thread
    int32_t prevWidth_ = 0, prevHeight_ = 0;
    std::optional<Clock::TimerId> pendingStart_; // the start of an older device's stream, scheduled
    std::atomic<bool> captureRunning_{false};
    int32_t connectionMode_ = 0;
    int32_t captureHeight_ = 0, captureWidth_ = 0;
    std::unique_ptr<DesktopCapture> videoCaptureSession_;
    // A slot was skipped because the channel was behind: the picture goes out once it drains, even
    // if the screen did not change again.
    std::atomic<bool> pictureOwed_{false};
    QMap<QString, std::shared_ptr<CompressorBase>> compressors_;
    std::vector<std::unique_ptr<OutputDestination>> captureDestinations_;
    Lifetime<StreamController> lifetime_{this};
};
