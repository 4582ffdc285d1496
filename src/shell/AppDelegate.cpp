#include "shell/AppDelegate.h"

#include "base/Bundle.h"
#include "base/Logging.h"
#include "base/MainQueue.h"
#include "base/UserDefaults.h"
#include "display/ResolutionController.h"
#include "display/ZDVirtualScreenController.h"
#include "platform/Alerts.h"
#include "platform/SystemEvents.h"
#include "platform/Workspace.h"
#include "session/CaptureController.h"
#include "shell/DisplayModeHandler.h"
#include "shell/Localization.h"
#include "shell/VersionChecker.h"

#include <QUrl>

AppDelegate::AppDelegate(Services services, ZDVirtualScreenController& displayController, ShellHooks hooks)
    : services_(std::move(services)), displayController_(displayController), hooks_(hooks),
      settings_(services_.defaults), singleInstance_(services_.workspace),
      screenRecordingGate_(services_.permissions, services_.alerts, services_.defaults, services_.workspace,
                           services_.exitProcess),
      reactions_(services_.systemEvents, services_.power, services_.mouseLocation,
                 [this](QPointF point) { return isInZubScreen(point); }) {
    reactions_.setThemeChangedHandler([this] {
        updateUI(captureController_ ? captureController_->currentChannel() : 0,
                 captureController_ ? captureController_->connectionMode() : 0);
    });
    if (hooks_.versionService) hooks_.versionService->setTerminate([this] { terminate(); });
    if (services_.eventPoster && services_.eventMonitor && services_.inputSources) {
        InputHooks inputHooks;
        inputHooks.checkPeerProtocolVersion = [this](const QString& version) {
            return captureController_ && captureController_->checkPeerProtocolVersion(version);
        };
        inputHooks.sendMessage = [this](const QString& message, int32_t channel) {
            if (captureController_) captureController_->sendMessage(message, channel, {});
        };
        inputHooks.deviceCategory = [this] {
            return hooks_.resolutions ? hooks_.resolutions->deviceCategory() : QString();
        };
        inputHooks.mouseCursorMoved = [this] {
            if (captureController_) captureController_->mouseCursorMoved();
        };
        inputHooks.isTapInTouchBar = [this](QPointF point) { return isTapInTouchBar(point); };
        if (hooks_.accessibility)
            inputHooks.assistiveAccessGranted = [this](bool showAlert) {
                return hooks_.accessibility->assistiveAccessGranted(showAlert);
            };
        input_ = std::make_unique<InputTranslation>(
            InputTranslation::Platform{*services_.eventPoster, *services_.eventMonitor,
                                       *services_.inputSources, services_.workspace, services_.defaults,
                                       services_.clipboard},
            displayController_, std::move(inputHooks));
    }
}

AppDelegate::~AppDelegate() {
    if (terminationTimer_) Clock::shared().cancel(*terminationTimer_);
    if (followsFrontmostApplication_) services_.workspace.setFrontmostApplicationChangedHandler({});
    removeObservers();
    reactions_.removeObservers();
    reactions_.setSession(nullptr);
    if (hooks_.displayModes) hooks_.displayModes->setSession(nullptr);
    if (hooks_.versionService) {
        hooks_.versionService->setSession(nullptr);
        hooks_.versionService->setTerminate({});
    }
    // The session controller goes before the objects it may still call back into.
    captureController_.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
    // 1. One instance per user: the one running already makes way.
    const QString bundleIdentifier = Bundle::main().bundleIdentifier();
    singleInstance_.launch(bundleIdentifier);
    // 2. Settings.
    loadDefaults();
    // 3. The version document, fetched off the main thread.
    if (hooks_.versionService) hooks_.versionService->startCheckMinVersion();
    // 4. Display reconfiguration.
    displayController_.registerDisplayCallback();
    // 5. Screen recording: without it the program runs with its menu only and asks for it.
    const bool granted = screenRecordingGate_.checkAtLaunch();
    // 6. Synthetic input needs the accessibility permission.
    if (granted && hooks_.accessibility && !hooks_.accessibility->assistiveAccessGranted(true)) {
        bRequireAccessibilityGrant_ = true;
        // The pencil asks again at a stroke's start, and forgets the flag once it is granted.
        if (input_) input_->setBRequireAccessibilityGrant(true);
    }
    // 7. The peer-protocol version this build speaks.
    settings_.loadProtocolVersion();
    // 8. Notices.
    registerObservers();
    reactions_.registerObservers();
    // 9. The session controller, which starts the device link.
    if (granted) {
        // The stream's first-launch settings ("FPS", "zubPadNoRetina") are written by the stream
        // itself as it loads its settings, inside the session controller.
        captureController_ = services_.makeCaptureController(*this);
        reactions_.setSession(captureController_.get());
        if (hooks_.displayModes) hooks_.displayModes->setSession(captureController_.get());
        if (hooks_.versionService) hooks_.versionService->setSession(captureController_.get());
    }
    // 10. Status item and menu, display power, updater.
    statusItem_.setupStatusItem(isDarkMode());
    statusItem_.setupMenu([this] { return menuState(); }, menuActions());
    setupDisplayWrangler();
    if (hooks_.updater) hooks_.updater->setAutoUpdateConfig();
    // 11.
    if (settings_.autoUpdateApp() && hooks_.updater) hooks_.updater->checkForUpdatesInBackground();
    // 13. The application in front.
    services_.workspace.setFrontmostApplicationChangedHandler([this] { foremostAppChanged(); });
    followsFrontmostApplication_ = true;
    getCurrentApp();
}

int32_t AppDelegate::getCurrentApp() {
    return input_ ? input_->getCurrentApp() : AppId::kOther;
}

void AppDelegate::foremostAppChanged() {
    if (input_) input_->foremostAppChanged();
}

void AppDelegate::loadDefaults() {
    settings_.loadDefaults(hooks_.loginItems);
}

bool AppDelegate::quitApplicationWithBundleID(const QString& bundleIdentifier) {
    return singleInstance_.quitApplicationWithBundleID(bundleIdentifier);
}

void AppDelegate::registerObservers() {
    NotificationCenter& center = NotificationCenter::defaultCenter();
    observers_.push_back(center.addObserver(ZDVirtualScreenController::kModeWasChangedNotification, nullptr,
                                            [this](const Notification& n) { handleModeChanged(n); }));
    observers_.push_back(center.addObserver(ZDVirtualScreenController::kUpdateMenuNotification, nullptr,
                                            [this](const Notification& n) { handleUpdateMenu(n); }));
    observers_.push_back(center.addObserver(kZDAutoHideTouchBarNotification, nullptr,
                                            [this](const Notification& n) { handleAutoHideTouchBar(n); }));
}

void AppDelegate::removeObservers() {
    for (NotificationCenter::ObserverId id : observers_)
        NotificationCenter::defaultCenter().removeObserver(id);
    observers_.clear();
}

void AppDelegate::handleModeChanged(const Notification& notification) {
    if (hooks_.displayModes) hooks_.displayModes->handleModeChanged(notification);
}

void AppDelegate::handleUpdateMenu(const Notification& notification) {
    if (hooks_.displayModes) hooks_.displayModes->handleUpdateMenu(notification);
}

void AppDelegate::handleAutoHideTouchBar(const Notification& notification) {
    if (!settings_.enableTouchBar() || !hooks_.touchBar) return;
    if (notification.userInfo.value(QStringLiteral("hide")).toInt() == 1)
        hooks_.touchBar->hideTouchBar();
    else
        hooks_.touchBar->showTouchBar();
}

void AppDelegate::enableTouchBar(bool on) {
    settings_.setEnableTouchBar(on);
    if (!hooks_.touchBar) return;
    if (on)
        hooks_.touchBar->showTouchBar();
    else
        hooks_.touchBar->hideTouchBar();
}

bool AppDelegate::isTapInTouchBar(QPointF point) {
    return settings_.enableTouchBar() && hooks_.touchBar && hooks_.touchBar->isTapInTouchBar(point);
}

bool AppDelegate::isDarkMode() const {
    return services_.systemEvents.isDarkMode();
}

void AppDelegate::resizeEventFromDevice(QSizeF size) {
    if (hooks_.resolutions) hooks_.resolutions->resizeEventFromDevice(size);
}

void AppDelegate::channelChanged(int32_t channel) {
    if (channel == PeerMessage::kChannelNone) {
        // A stroke or drag cut off with the link must not leave its button down.
        if (input_) input_->releaseHeldInput();
        if (hooks_.versionService) hooks_.versionService->channelChanged(channel);
        if (hooks_.displayModes) hooks_.displayModes->channelChanged(channel);
        return;
    }
    // A device whose protocol does not match ours gets nothing more: no display mode, no checks.
    if (hooks_.versionService && captureController_) {
        const QString peer =
            captureController_->peerDeviceInfo().value(QStringLiteral("protocolVersion")).toString();
        if (!hooks_.versionService->checkProtocolVersion(protocolVersion(), peer)) return;
    }
    if (hooks_.displayModes) hooks_.displayModes->channelChanged(channel);
    if (hooks_.versionService) hooks_.versionService->channelChanged(channel);
}

void AppDelegate::inputInterrupted() {
    // A pan or zoom whose end will not come must not leave Space, Option or a button down.
    if (input_) input_->releaseHeldInput();
}

int32_t AppDelegate::adjustInitialMode(const QVariantMap& deviceInfo) {
    // Without the catalogue every device gets mode 0, as with an empty mode table.
    return hooks_.resolutions ? hooks_.resolutions->adjustInitialMode(deviceInfo) : 0;
}

void AppDelegate::handleTapEvent(QPointF point, bool ignoreSingleTap) {
    if (input_) input_->handleTapEvent(point, ignoreSingleTap);
}
void AppDelegate::handleTwoFingerTapEvent(QPointF point) {
    if (input_) input_->handleTwoFingerTapEvent(point);
}
void AppDelegate::handleThreeFingerTapEvent(QPointF point) {
    if (input_) input_->handleThreeFingerTapEvent(point);
}
void AppDelegate::handleScrollEvent(const QVariantMap& event) {
    if (input_) input_->handleScrollEvent(event);
}
void AppDelegate::handleDragEvent(const QVariantMap& event) {
    if (input_) input_->handleDragEvent(event);
}
void AppDelegate::handlePencilEvent(const QVariantMap& event) {
    if (input_) input_->handlePencilEvent(event);
}
void AppDelegate::handleZoomEvent(const QVariantMap& event) {
    if (input_) input_->handleZoomEvent(event);
}
void AppDelegate::handleTwoFingerRotationEvent(const QVariantMap& event) {
    if (input_) input_->handleTwoFingerRotationEvent(event);
}
void AppDelegate::handleTwoFingerPanEvent(const QVariantMap& event) {
    if (input_) input_->handleTwoFingerPanEvent(event);
}
void AppDelegate::handleStylusStatusChanged(const QVariantMap& event) {
    if (input_) input_->handleStylusStatusChanged(event);
}
void AppDelegate::handleKeyboardEvent(const QVariantMap& event) {
    if (input_) input_->handleKeyboardEvent(event);
}
void AppDelegate::handleVirtualKeyboardEvent(const QVariantMap& event) {
    if (input_) input_->handleVirtualKeyboardEvent(event);
}
void AppDelegate::handleVirtualKeyboardSourceEvent(const QVariantMap& event) {
    if (input_) input_->handleVirtualKeyboardSourceEvent(event);
}
void AppDelegate::handleHoverEvent(const QVariantMap& event) {
    if (input_) input_->handleHoverEvent(event);
}

QPointF AppDelegate::getRelativePoint(QPointF globalPoint) {
    return input_ ? input_->getRelativePoint(globalPoint) : QPointF(-1.0, -1.0);
}

bool AppDelegate::isInZubScreen(QPointF globalPoint) {
    return input_ && input_->isInZubScreen(globalPoint);
}

bool AppDelegate::isInMirrorModeForBuiltinDisplay() {
    return displayController_.bCloneDisplay() && displayController_.bMirrorOptimizeForBuiltinDisplay();
}

void AppDelegate::updateUI(int32_t channel, int32_t /*connectionMode*/) {
    if (channel == 0 && settings_.enableTouchBar() && hooks_.touchBar) hooks_.touchBar->hideTouchBar();
    statusItem_.setImages(StatusItem::imageNames(channel, isDarkMode()));
    updateMenu(displayController_.isFramebufferActive());
}

void AppDelegate::updateMenu(bool framebufferActive) {
    if (!mainQueue().isCurrent()) {
        mainQueue().sync([this, framebufferActive] { updateMenu(framebufferActive); });
        return;
    }
    if (StatusMenu* menu = statusItem_.statusMenu()) menu->updateMenu(framebufferActive);
}

MenuState AppDelegate::menuState() {
    MenuState state;
    if (hooks_.versionService) {
        state.bNotSupportedVersion = hooks_.versionService->bNotSupportedVersion();
        state.newVersion = hooks_.versionService->newVersion();
    }
    if (state.newVersion.isEmpty() && hooks_.updater) state.newVersion = hooks_.updater->newVersion();
    state.pressureAvailable = services_.pressureAvailable;
    state.mirrorMode = displayController_.bCloneDisplay();
    state.useSystemCursor = settings_.useSystemCursor();
    state.launchAtLogin = settings_.launchAtLogin();
    state.autoUpdateApp = settings_.autoUpdateApp();
    state.touchBarSupported = isOSSupportTouchBar();
    state.enableTouchBar = settings_.enableTouchBar();
    if (input_) state.stylus = input_->stylusInfo();
    if (CaptureController* session = captureController_.get()) {
        state.bUSBConnected = session->bUSBConnected();
        state.connected = session->currentChannel() != PeerMessage::kChannelNone;
        state.bUSBAttached = session->bUSBAttached();
        state.usbmuxdRunning = session->usbmuxdRunning();
        state.deviceInfo = session->peerDeviceInfo();
        state.systemCursorSupported = session->checkPeerProtocolVersion(QStringLiteral("1.0.2"));
    }
    if (hooks_.displayModes) state.videoCaptureFPS = hooks_.displayModes->videoCaptureFPS();
    if (state.connected && state.mirrorMode && hooks_.resolutions) {
        ResolutionController& resolutions = *hooks_.resolutions;
        resolutions.updateResolutionMenu(resolutions.sizeClass());
        for (const ResolutionEntry& entry : resolutions.resolutionMenus())
            state.resolutions.emplace_back(entry, resolutions.resolutionItemState(entry.label, entry.tag));
    }
    return state;
}

StatusMenu::Actions AppDelegate::menuActions() {
    StatusMenu::Actions actions;
    actions.quit = [this] { terminate(); };
    actions.aboutTheApp = [this] { aboutTheApp(); };
    actions.howToEnablePressure = [this] { howToEnablePressure(); };
    actions.useSystemCursor = [this] { useSystemCursor(); };
    actions.enableTouchBar = [this] { enableTouchBar(!settings_.enableTouchBar()); };
    actions.menuWillOpen = [this] { menuWillOpen(); };
    if (input_) actions.setupStylus = [this] { setupStylus(); };
    if (hooks_.loginItems) actions.launchAtLogin = [this] { launchAtLogin(); };
    if (hooks_.updater) {
        actions.autoUpdateApp = [this] { autoUpdateApp(); };
        actions.checkForUpdates = [this] { checkForUpdates(); };
    }
    if (hooks_.uninstaller) actions.uninstall = [this] { uninstall(); };
    if (ResolutionController* resolutions = hooks_.resolutions) {
        actions.changeResolutionSelected = [resolutions](int32_t tag) {
            resolutions->changeResolutionSelected(tag);
        };
        actions.setFrameRate = [resolutions](int32_t tag) { resolutions->setFrameRate(tag); };
        actions.launchDisplaySettings = [resolutions] { resolutions->launchDisplaySettings(); };
    }
    return actions;
}

void AppDelegate::menuWillOpen() {
    if (screenRecordingGate_.bScreenRecordingGranted()) return;
    mainQueue().async([this, alive = lifetime_.guard()] {
        if (!alive) return;
        if (!screenRecordingGate_.screenRecordingGranted()) {
            screenRecordingGate_.alertForScreenRecording();
            return;
        }
        // Capture is set up at launch only.
        Alert alert;
        alert.style = Alert::Style::Warning;
        alert.messageText = localizedString(QStringLiteral("RestartZubPad"));
        alert.informativeText = localizedString(QStringLiteral("RestartZubPadIsRequired"));
        alert.buttons = {localizedString(QStringLiteral("Quit Zub Pad"))};
        services_.alerts.runModal(alert);
        services_.exitProcess(0);
    });
}

void AppDelegate::launchAtLogin() {
    settings_.setLaunchAtLogin(!settings_.launchAtLogin(), hooks_.loginItems);
}

void AppDelegate::autoUpdateApp() {
    const bool on = !settings_.autoUpdateApp();
    settings_.setAutoUpdateApp(on);
    if (!hooks_.updater) return;
    if (on) hooks_.updater->checkForUpdatesInBackground();
    hooks_.updater->setAutoUpdateConfig();
}

void AppDelegate::useSystemCursor() {
    const bool on = !settings_.useSystemCursor();
    settings_.setUseSystemCursor(on);
    if (captureController_) captureController_->useSystemCursor(on);
}

void AppDelegate::checkForUpdates() {
    if (hooks_.updater) hooks_.updater->checkForUpdates();
}

void AppDelegate::openInfoURL(const QString& key) {
    const QUrl url(Bundle::main().objectForInfoDictionaryKey(key).toString());
    if (!services_.workspace.openURL(url)) qCWarning(lcShell) << "cannot open" << url.toString();
}

void AppDelegate::aboutTheApp() {
    openInfoURL(QStringLiteral("URLAbout"));
}

void AppDelegate::howToEnablePressure() {
    openInfoURL(QStringLiteral("PressureHelpURL"));
}

void AppDelegate::setupStylus() {
    if (input_) input_->setupStylus();
}

void AppDelegate::uninstall() {
    Alert alert;
    alert.style = Alert::Style::Warning;
    alert.messageText =
        localizedString(QStringLiteral("UninstallOSXApp"))
            .arg(Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleDisplayName")).toString());
    alert.informativeText = localizedString(QStringLiteral("UninstallZubPadBody"));
    alert.buttons = {localizedString(QStringLiteral("Uninstall")), localizedString(QStringLiteral("Cancel"))};
    if (services_.alerts.runModal(alert) == Alerts::kFirstButtonReturn && hooks_.uninstaller)
        hooks_.uninstaller->uninstall();
}

void AppDelegate::terminate() {
    // A second Quit or signal while the first is under way changes nothing.
    if (terminating_) return;
    terminating_ = true;
    if (applicationShouldTerminate() == TerminateReply::Now) replyToApplicationShouldTerminate(true);
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate() {
    displayController_.unregisterDisplayCallback();
    if (!captureController_) return TerminateReply::Now;
    // The device must hear of the end before its link goes: the link is shut down only once the
    // message has left (or could not be sent, or took too long).
    auto proceed = [this, alive = lifetime_.guard(), started = std::make_shared<bool>(false)] {
        if (!alive || *started) return;
        *started = true;
        if (terminationTimer_) Clock::shared().cancel(*terminationTimer_);
        terminationTimer_.reset();
        captureController_->applicationShouldTerminate();
        // The channels just closed finish on the event loop (their cancelled reads run, their
        // descriptors close and their memory goes): give them that moment before the process ends.
        terminationTimer_ = mainQueue().after(kLinkSettleTime, [this] {
            terminationTimer_.reset();
            replyToApplicationShouldTerminate(true);
        });
    };
    terminationTimer_ = mainQueue().after(kAppWillTerminateTimeout, proceed);
    captureController_->sendMessage(QStringLiteral("appWillTerminate"), PeerMessage::kChannelCurrent,
                                    [proceed](const OptError&) { proceed(); });
    return TerminateReply::Later;
}

void AppDelegate::replyToApplicationShouldTerminate(bool shouldTerminate) {
    if (!shouldTerminate) {
        terminating_ = false;
        return;
    }
    applicationWillTerminate();
    services_.exitProcess(0);
}

void AppDelegate::applicationWillTerminate() {
    if (hooks_.touchBar && hooks_.touchBar->hasTouchBarWindow()) hooks_.touchBar->stopTouchBar();
}
