#include "session/CaptureController.h"

#include "session/ConnectionManager.h"
#include "session/PeerMessageHandler.h"

CaptureController::CaptureController(const SystemInfo& systemInfo, std::unique_ptr<LinkConnector> connector,
                                     std::optional<StreamController::Services> stream)
    : connector_(connector ? std::move(connector) : std::make_unique<HubLinkConnector>()),
      stream_(stream ? std::make_unique<StreamController>(std::move(*stream), this) : nullptr),
      link_(std::make_unique<ConnectionManager>(*connector_, systemInfo, stream_.get(), this)),
      peer_(std::make_unique<PeerMessageHandler>(*link_, stream_.get(), systemInfo)) {}

CaptureController::~CaptureController() {
    cursor_.reset();
    // Nothing is captured or encoded once the controller goes; then the link detaches its channels
    // from this delegate.
    stream_.reset();
    peer_.reset();
    link_.reset();
}

void CaptureController::setDelegate(ZDAppDelegate* delegate) {
    delegate_ = delegate;
    link_->setDelegate(delegate);
    peer_->setDelegate(delegate);
    if (cursor_) cursor_->setDelegate(delegate);
}

void CaptureController::setupLink() {
    link_->setupLink();
}
void CaptureController::shutdownLink() {
    link_->shutdownLink();
}
void CaptureController::applicationShouldTerminate() {
    link_->shutdownLink();
    unregisterMouseEvent();
    // Nothing may go on capturing and encoding once the link is gone.
    if (stream_) stream_->applicationWillTerminate();
}
void CaptureController::enqueueConnectToLocalIPv4Port() {
    link_->enqueueConnectToLocalIPv4Port();
}
void CaptureController::enqueueConnectToUSBDevice() {
    link_->enqueueConnectToUSBDevice();
}

std::shared_ptr<PTChannel> CaptureController::ptChannelConnected() const {
    return link_->ptChannelConnected();
}
bool CaptureController::bUSBConnected() const {
    return link_->bUSBConnected();
}
int32_t CaptureController::currentChannel() const {
    return link_->currentChannel();
}
bool CaptureController::bUSBAttached() const {
    return link_->bUSBAttached();
}
void CaptureController::setBScreenOff(bool value) {
    link_->setBScreenOff(value);
}
int32_t CaptureController::connectionMode() const {
    return link_->connectionMode();
}
std::optional<qint64> CaptureController::connectedDeviceID() const {
    return link_->connectedDeviceID();
}
void CaptureController::setConnectedDeviceIDObserver(std::function<void(std::optional<qint64>)> observer) {
    link_->setConnectedDeviceIDObserver(std::move(observer));
}
QVariantMap CaptureController::connectedDeviceProperties() const {
    return link_->connectedDeviceProperties();
}

void CaptureController::sendMessage(const QString& message, int32_t channel,
                                    std::function<void(const OptError&)> sent) {
    peer_->sendMessage(message, channel, std::move(sent));
}
void CaptureController::sendEvent(const QVariantMap& event, int32_t type, int32_t channel) {
    peer_->sendEvent(event, type, channel);
}
bool CaptureController::checkPeerProtocolVersion(const QString& version) const {
    return peer_->checkPeerProtocolVersion(version);
}
QVariantMap CaptureController::peerDeviceInfo() const {
    return peer_->peerDeviceInfo();
}
void CaptureController::setPeerDeviceInfo(const QVariantMap& info) {
    peer_->setPeerDeviceInfo(info);
}

bool CaptureController::ioFrameChannelShouldAcceptFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                                              uint32_t payloadSize) {
    return peer_->ioFrameChannelShouldAcceptFrameOfType(channel, type, tag, payloadSize);
}
void CaptureController::ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                                            const PTData* payload) {
    peer_->ioFrameChannelDidReceiveFrameOfType(channel, type, tag, payload);
}
void CaptureController::ioFrameChannelDidEndWithError(PTChannel* channel, const OptError& error) {
    if (cursor_) cursor_->stopCursorTimer();
    link_->ioFrameChannelDidEndWithError(channel, error);
}

void CaptureController::setLoopbackPort(quint16 port) {
    link_->setLoopbackPort(port);
}

void CaptureController::setCursorServices(CursorForwarder::Services services) {
    cursor_ = std::make_unique<CursorForwarder>(std::move(services), [this](const QVariantMap& event) {
        sendEvent(event, PeerMessage::kFrameTypeEvent, PeerMessage::kChannelCurrent);
    });
    cursor_->setDelegate(delegate_);
}

bool CaptureController::simulateCursorPos() const {
    return cursor_ && !useSystemCursor_ && checkPeerProtocolVersion(QStringLiteral("1.0.2"));
}

void CaptureController::registerMouseEvent() {
    if (cursor_) cursor_->registerMouseEvent();
}
void CaptureController::unregisterMouseEvent() {
    if (cursor_) cursor_->unregisterMouseEvent();
}
void CaptureController::hideCursor() {
    if (cursor_) cursor_->hideCursor();
}
void CaptureController::unhideCursor() {
    if (cursor_) cursor_->unhideCursor();
}

void CaptureController::mouseCursorMoved() {
    // The shell moves the pointer whatever the choice; the device hears of it only while it draws
    // the cursor itself.
    if (cursor_ && simulateCursorPos()) cursor_->mouseCursorMoved();
}

void CaptureController::useSystemCursor(bool on) {
    useSystemCursor_ = on;
    if (on) hideCursor();
    DesktopCapture* capture = stream_ ? stream_->videoCaptureSession() : nullptr;
    const bool linked = link_->bUSBConnected();
    if (capture && linked) {
        capture->setSimulateCursor(simulateCursorPos());
        sendMessage(QStringLiteral("waitASec"), PeerMessage::kChannelCurrent);
        capture->setupDisplayStream();
        stream_->resetResolution(stream_->mainDisplayID());
    }
    if (capture && linked && capture->simulateCursor())
        registerMouseEvent();
    else
        unregisterMouseEvent();
}
