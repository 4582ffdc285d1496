#include "video/StreamController.h"

#include "base/Bundle.h"
#include "base/MainQueue.h"
#include "platform/DisplayServices.h"
#include "video/AppleVTCompressor.h"
#include "video/StreamDefaults.h"
#include "video/StreamHost.h"

#include <sys/prctl.h>

StreamController::StreamController(Services services, StreamHost* host)
    : services_(std::move(services)), host_(host) {
    if (!services_.writer) services_.writer = OutputDestination::channelWriter();
    if (!services_.resource.isValid())
        services_.resource = Bundle::main().propertyListResource(QStringLiteral("Defaults"));
    loadSettings();
}

StreamController::~StreamController() {
    resetStream();
    if (mainCaptureQueue_.joinable()) mainCaptureQueue_.join(); // a clock ended by setCaptureRunning
    lifetime_.end();
    if (host_) host_->unregisterMouseEvent();
    // The destination leaves its compressor before either goes.
    captureDestinations_.clear();
}

void StreamController::loadSettings() {
    const QVariantMap r = services_.resource.toMap();
    captureWidth_ = r.value(QStringLiteral("captureWidth")).toInt();
    captureHeight_ = r.value(QStringLiteral("captureHeight")).toInt();

    std::shared_ptr<AppleVTCompressor> defaultCompressor;
    const QVariant table = r.value(QStringLiteral("compressors"));
    compressors_.clear();
    if (table.isValid()) {
        const QVariantMap archived = table.toMap();
        for (auto it = archived.begin(); it != archived.end(); ++it)
            compressors_.insert(it.key(),
                                std::make_shared<AppleVTCompressor>(services_.encoders, it.value().toMap()));
    } else {
        defaultCompressor = std::make_shared<AppleVTCompressor>(services_.encoders);
        defaultCompressor->setAverage_bitrate(r.value(QStringLiteral("captureVideoAverageBitrate")).toInt());
        defaultCompressor->setMax_bitrate(r.value(QStringLiteral("captureVideoMaxBitrate")).toInt());
        defaultCompressor->setKeyframe_interval(
            r.value(QStringLiteral("captureVideoMaxKeyframeInterval")).toInt());
        defaultCompressor->setWidth(captureWidth_);
        defaultCompressor->setHeight(captureHeight_);
        defaultCompressor->setName(QStringLiteral("AppleVT"));
        defaultCompressor->setUse_cbr(r.value(QStringLiteral("use_cbr")).toBool());
        defaultCompressor->setProfile(r.value(QStringLiteral("profile")).toString());
        addCompressor(defaultCompressor);
    }
    // "selectedCompressor" would pick a row of a compressor list; this application shows none.

    captureDestinations_.clear();
    auto destination = std::make_unique<OutputDestination>(QStringLiteral("file"), services_.writer);
    destination->setDestination(QStringLiteral("/tmp/t.flv"));
    destination->setSettingsController(this);
    destination->setCompressor(defaultCompressor);
    captureDestinations_.push_back(std::move(destination));

    setSelectedVideoType(r.value(QStringLiteral("selectedVideoType")).toString());

    if (videoCaptureSession_) {
        StreamDefaults& defaults = services_.defaults;
        videoCaptureSession_->setVideoCaptureFPS(defaults.doubleForKey(QStringLiteral("FPS")));
        if (videoCaptureSession_->videoCaptureFPS() == 0.0) { // first launch
            videoCaptureSession_->setVideoCaptureFPS(r.value(QStringLiteral("captureFPS")).toDouble());
            videoCaptureSession_->setVideoCaptureFPS(30.0);
            defaults.setDouble(videoCaptureSession_->videoCaptureFPS(), QStringLiteral("FPS"));
            // A large first screen starts at standard resolution.
            const std::vector<DisplayScreen> screens = services_.displays.screens();
            if (!screens.empty() && screens.front().frame.width() > 2048.0 &&
                screens.front().frame.height() > 1152.0) {
                defaults.setBool(true, QStringLiteral("zubPadNoRetina"));
            }
        }
    }
}

void StreamController::setSelectedVideoType(const QString& type) {
    if (videoCaptureSession_) videoCaptureSession_->setVideoCaptureFPSObserver(nullptr);
    videoCaptureSession_.reset();
    // Only the desktop is a source here; the camera, movie and image sources of the original
    // application are not part of this system.
    if (type == QLatin1String("Desktop")) {
        StreamDefaults& defaults = services_.defaults;
        videoCaptureSession_ = std::make_unique<DesktopCapture>(
            DesktopCapture::Services{services_.streams, services_.displays, services_.systemInfo,
                                     [&defaults](const QString& key) { return defaults.boolForKey(key); }});
        videoCaptureSession_->setVideoCaptureFPSObserver([this](double) { setupFrameTimer(); });
        videoCaptureSession_->setFrameArrivalSignal(clockWake_);
        selectedVideoType_ = type;
    } else {
        selectedVideoType_.clear();
    }
}

bool StreamController::selectedVideoCaptureFromID(const QString& uniqueID) {
    if (!videoCaptureSession_) return false;
    const AbstractCaptureDevice probe(QString(), kNullDisplayID, uniqueID);
    for (const AbstractCaptureDevice& device : videoCaptureSession_->availableVideoDevices()) {
        if (!device.isEqual(probe)) continue;
        videoCaptureSession_->setSimulateCursor(host_ && host_->simulateCursorPos());
        videoCaptureSession_->setActiveVideoDevice(device);
        return true;
    }
    videoCaptureSession_->setActiveVideoDevice(std::nullopt);
    return false;
}

QString StreamController::addCompressor(std::shared_ptr<CompressorBase> compressor) {
    const QString name = compressor->name();
    compressors_.insert(name, std::move(compressor));
    return name;
}

bool StreamController::setupCompressors() {
    const QString hardware =
        host_ ? host_->peerDeviceInfo().value(QStringLiteral("hardwareString")).toString() : QString();
    for (const auto& compressor : compressors_) {
        compressor->setSettingsController(this);
        if (auto* vt = qobject_cast<AppleVTCompressor*>(compressor.get()))
            vt->setPeerHardwareString(hardware);
    }
    for (const auto& destination : captureDestinations_) {
        destination->setActive(true);
        destination->setupCompressor();
    }
    firstFrameTime_ = 0;
    return true;
}

bool StreamController::startStream() {
    if (captureRunning_.load()) return true;
    firstFrameTime_ = 0;
    preventDisplaySleep(services_.defaults.boolForKey(QStringLiteral("preventDisplaySleep")));
    for (const auto& destination : captureDestinations_)
        destination->reset();
    // A stop (the device locked, or could not decode) also stopped the capture; the device asks again
    // with "ReadyToReceive" and must then get pictures of the display chosen before.
    if (videoCaptureSession_ && !videoCaptureSession_->isStreaming())
        videoCaptureSession_->setupDisplayStream();
    captureRunning_.store(true);
    setupCompressors();
    if (mainCaptureQueue_.joinable()) mainCaptureQueue_.join(); // a clock ended by setCaptureRunning
    clockWake_->reset();
    mainCaptureQueue_ = std::thread([this] {
        prctl(PR_SET_NAME, "ZubDisplay.capture.queue", 0, 0, 0); // the kernel keeps 15 characters
        newFrameTimed();
    });
    if (host_) {
        host_->sendMessage(QStringLiteral("startStream:%1").arg(connectionMode_));
        if (host_->simulateCursorPos()) host_->registerMouseEvent();
    }
    return true;
}

void StreamController::stopStream() {
    stop(true);
}

void StreamController::resetStream() {
    stop(false);
}

void StreamController::stop(bool tellDevice) {
    // A start still waiting for an older device must not bring the stream back after it was stopped
    // (the device locked, or went).
    cancelPendingStart();
    if (!captureRunning_.exchange(false)) return;
    // The clock wakes from its sleep at once instead of at its next deadline.
    clockWake_->requestStop();
    if (videoCaptureSession_) videoCaptureSession_->stopDisplayStream();
    // Wait for the frame clock to leave its loop, so that nothing is encoded into a session being
    // torn down below.
    if (mainCaptureQueue_.joinable()) mainCaptureQueue_.join();
    for (const auto& compressor : compressors_)
        compressor->reset();
    for (const auto& destination : captureDestinations_)
        destination->stopOutput();
    preventDisplaySleep(false);
    if (host_) {
        if (tellDevice) host_->sendMessage(QStringLiteral("stopStream"));
        host_->unregisterMouseEvent();
    }
}

void StreamController::resetResolution(DisplayID displayID) {
    if (displayID == kNullDisplayID) return;
    stopStream();
    if (!selectedVideoCaptureFromID(AbstractCaptureDevice::uniqueIDForDisplay(displayID))) return;
    // The device is told the size of the pictures it will get: the capture's own, which follows the
    // mirroring scale ("cloneDisplay", "cloneNoRetina") as well as "zubPadNoRetina". A size worked out
    // from "zubPadNoRetina" alone would announce twice the real size when mirroring at standard
    // resolution.
    const int32_t w = videoCaptureSession_->width(), h = videoCaptureSession_->height();
    if (host_) host_->sendMessage(QStringLiteral("size:%1x%2").arg(w).arg(h));
    prevWidth_ = w;
    prevHeight_ = h;
    // Devices before protocol 1.0.9 never say "ReadyToReceive": their stream starts by itself.
    if (host_ && !host_->checkPeerProtocolVersion(QStringLiteral("1.0.9"))) {
        const double delay = host_->bAirConnected() ? 0.5 : 0.4;
        pendingStart_ = mainQueue().after(delay, [self = lifetime_.guard()] {
            if (!self) return;
            self->pendingStart_.reset();
            self->startStream();
        });
    }
}

DisplayID StreamController::mainDisplayID() const {
    return services_.displays.mainDisplayID();
}

void StreamController::cancelPendingStart() {
    if (pendingStart_) Clock::shared().cancel(*pendingStart_);
    pendingStart_.reset();
}

void StreamController::setupFrameTimer() {
    const double fps = videoCaptureSession_ ? videoCaptureSession_->videoCaptureFPS() : 0.0;
    frameInterval_.store(fps > 0.0 ? 1.0 / fps : 0.016666666666666666);
}

double StreamController::mach_time_seconds() const {
    return Clock::shared().uptime();
}

bool StreamController::sleepUntil(double deadline) const {
    return Clock::shared().sleepUntil(deadline, clockWake_.get());
}

bool StreamController::isFresh() const {
    // The newest captured picture is less than a second old, or was skipped while the channel was
    // behind and not sent since.
    if (pictureOwed_.load()) return true;
    const uint64_t captured = videoCaptureSession_ ? videoCaptureSession_->currentIOSurfaceTime() : 0;
    return double(captured) + 1e9 > mach_time_seconds() * 1e9;
}

void StreamController::newFrameTimed() {
    double t = mach_time_seconds();
    frameTime_ = t;
    newFrame(); // the first picture goes out at once
    while (captureRunning_.load()) {
        const bool fresh = isFresh();
        if (fresh && frameInterval_.load() == kIdleInterval) {
            // Out of idle mode: the new picture goes out now, the schedule restarts from here.
            frameInterval_.store(tempFrameInterval_);
            t = mach_time_seconds();
            frameTime_ = t;
            newFrame();
        }
        if (fresh) {
            const double interval = frameInterval_.load();
            t += interval;
            // A slot whose whole interval has passed is skipped, not sent late.
            if (sleepToSlot(t, interval)) t = takePicture(t, t + interval);
        } else {
            if (frameInterval_.load() != kIdleInterval) {
                tempFrameInterval_ = frameInterval_.load();
                frameInterval_.store(kIdleInterval);
            }
            // A picture arriving meanwhile ends the wait at once.
            sleepUntil(mach_time_seconds() + kIdleInterval);
        }
    }
}

bool StreamController::sleepToSlot(double slot, double interval) {
    if (mach_time_seconds() >= slot + interval) return false;
    // A picture that arrives before the slot wakes the clock, which sleeps on: the picture before went
    // out less than an interval ago.
    while (!sleepUntil(slot)) {
        if (!captureRunning_.load()) return false;
        if (mach_time_seconds() >= slot) break;
    }
    return captureRunning_.load();
}

double StreamController::takePicture(double slot, double end) {
    // A picture skipped while the channel was behind is owed: it goes out at the first slot.
    if (hasNewPicture() || pictureOwed_.load()) {
        frameTime_ = slot;
        newFrame();
        return slot;
    }
    // Nothing new yet: the capture's next picture goes out the moment it arrives, until the next slot.
    // Then this slot gets the unchanged picture, as it always did (an encoder refines a still picture
    // with it), but only once nothing new can come in its place.
    while (captureRunning_.load()) {
        const bool closed = sleepUntil(end);
        if (!captureRunning_.load()) break;
        const double now = mach_time_seconds();
        if (closed || now >= end) break;
        if (hasNewPicture()) {
            // The schedule follows the capture from here: the next slot is an interval after this
            // picture, so that the capture's next one, an interval later, finds its slot due.
            frameTime_ = now;
            newFrame();
            return now;
        }
    }
    frameTime_ = slot;
    newFrame();
    return slot;
}

bool StreamController::hasNewPicture() const {
    return videoCaptureSession_ && videoCaptureSession_->currentFrameSerial() != takenSerial_;
}

void StreamController::newFrame() {
    if (!captureRunning_.load() || !videoCaptureSession_) return;
    if (FramePtr frame = videoCaptureSession_->getCurrentFrame(&takenSerial_)) processVideoFrame(frame);
}

void StreamController::processVideoFrame(const FramePtr& frame) {
    if (!captureRunning_.load()) return;
    if (firstFrameTime_ == 0) firstFrameTime_ = frameTime_;
    const MediaTime pts{int64_t((frameTime_ - firstFrameTime_) * 1e6), 1000000};
    const MediaTime duration{1000, int32_t(captureFPS() * 1000)};
    AppleVTCompressor* compressor = activeCompressor();
    if (!compressor) return;
    OutputDestination& output = *captureDestinations_.back();
    if (!output.reserveFrame()) {
        // The channel is behind: this slot is skipped, and the picture is owed once it drains.
        pictureOwed_.store(true);
        return;
    }
    pictureOwed_.store(false);
    if (!compressor->compressVideoFrame(frame, pts, duration, output.takeKeyFrameRequest())) {
        output.releaseFrame();
        return;
    }
}

AppleVTCompressor* StreamController::activeCompressor() const {
    if (captureDestinations_.empty()) return nullptr;
    return qobject_cast<AppleVTCompressor*>(captureDestinations_.back()->compressor().get());
}

bool StreamController::bH264HWCodec() const {
    const AppleVTCompressor* compressor = activeCompressor();
    return compressor && compressor->bH264HWCodec();
}

void StreamController::preventDisplaySleep(bool prevent) {
    if (!services_.preventDisplaySleep) return;
    if (prevent) {
        if (!displaySleepPrevented_ && services_.preventDisplaySleep(true, kActivityReason))
            displaySleepPrevented_ = true;
    } else if (displaySleepPrevented_) {
        services_.preventDisplaySleep(false, kActivityReason);
        displaySleepPrevented_ = false;
    }
}

double StreamController::captureFPS() const {
    return videoCaptureSession_ ? videoCaptureSession_->videoCaptureFPS() : 0.0;
}

std::shared_ptr<CompressorBase> StreamController::compressorNamed(const QString& name) const {
    return compressors_.value(name);
}

int StreamController::streamsActiveCount() const {
    int n = 0;
    for (const auto& destination : captureDestinations_)
        if (destination->active()) ++n;
    return n;
}

void StreamController::applicationWillTerminate() {
    if (captureRunning_.load() && streamsActiveCount() > 0) stopStream();
}
