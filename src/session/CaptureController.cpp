#include "session/CaptureController.h"

#include "link/PTChannel.h"
#include "session/ConnectionManager.h"
#include "session/LinkConnector.h"
#include "session/PeerMessageHandler.h"

// The delegate of every channel the controller makes: frames go to the messages, ends to the link.
class CaptureController::ChannelEvents final : public PTChannelDelegate {
public:
    explicit ChannelEvents(CaptureController& owner) : owner_(owner) {}

    uint8_t implementedOperations() const override { return kShouldAcceptFrame | kDidEndWithError; }
    bool ioFrameChannelShouldAcceptFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                               uint32_t payloadSize) override {
        return owner_.ioFrameChannelShouldAcceptFrameOfType(channel, type, tag, payloadSize);
    }
    void ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                             const PTData* payload) override {
        owner_.ioFrameChannelDidReceiveFrameOfType(channel, type, tag, payload);
    }
    void ioFrameChannelDidEndWithError(PTChannel* channel, const OptError& error) override {
        owner_.ioFrameChannelDidEndWithError(channel, error);
    }

private:
    CaptureController& owner_;
};

CaptureController::CaptureController(const SystemInfo& systemInfo, std::unique_ptr<LinkConnector> connector)
    : ports_(std::make_unique<SessionPorts>()),
      connector_(connector ? std::move(connector) : std::make_unique<HubLinkConnector>()),
      channelEvents_(std::make_unique<ChannelEvents>(*this)),
      link_(std::make_unique<ConnectionManager>(*connector_, systemInfo, *ports_, channelEvents_.get())),
      peer_(std::make_unique<PeerMessageHandler>(*link_, *ports_, systemInfo)) {}

CaptureController::~CaptureController() {
    // The link goes first: it detaches its channels from the delegate that is about to go.
    peer_.reset();
    link_.reset();
}

void CaptureController::setDelegate(ZDAppDelegate* delegate) {
    ports_->delegate = delegate;
}
ZDAppDelegate* CaptureController::delegate() const {
    return ports_->delegate;
}

void CaptureController::setupLink() {
    link_->setupLink();
}
void CaptureController::shutdownLink() {
    link_->shutdownLink();
}
void CaptureController::applicationShouldTerminate() {
    link_->shutdownLink();
    // Nothing may go on capturing and encoding once the link is gone.
    if (ports_->stream) ports_->stream->applicationWillTerminate();
}
void CaptureController::startListeningForDevices() {
    link_->startListeningForDevices();
}
void CaptureController::enqueueConnectToLocalIPv4Port() {
    link_->enqueueConnectToLocalIPv4Port();
}
void CaptureController::enqueueConnectToUSBDevice() {
    link_->enqueueConnectToUSBDevice();
}
void CaptureController::connectToLocalIPv4Port() {
    link_->connectToLocalIPv4Port();
}
void CaptureController::connectToUSBDevice() {
    link_->connectToUSBDevice();
}
void CaptureController::disconnectFromCurrentChannel() {
    link_->disconnectFromCurrentChannel();
}
void CaptureController::didDisconnectFromDevice(qint64 deviceID) {
    link_->didDisconnectFromDevice(deviceID);
}

void CaptureController::setPtChannelConnected(std::shared_ptr<PTChannel> channel) {
    link_->setPtChannelConnected(std::move(channel));
}
std::shared_ptr<PTChannel> CaptureController::ptChannelConnected() const {
    return link_->ptChannelConnected();
}
void CaptureController::setBUSBConnected(bool value) {
    link_->setBUSBConnected(value);
}
bool CaptureController::bUSBConnected() const {
    return link_->bUSBConnected();
}
void CaptureController::setCurrentChannel(int32_t value) {
    link_->setCurrentChannel(value);
}
int32_t CaptureController::currentChannel() const {
    return link_->currentChannel();
}
void CaptureController::setBUSBAttached(bool value) {
    link_->setBUSBAttached(value);
}
bool CaptureController::bUSBAttached() const {
    return link_->bUSBAttached();
}
void CaptureController::setBScreenOff(bool value) {
    link_->setBScreenOff(value);
}
bool CaptureController::bScreenOff() const {
    return link_->bScreenOff();
}
void CaptureController::setBPeerIsInBackground(bool value) {
    link_->setBPeerIsInBackground(value);
}
bool CaptureController::bPeerIsInBackground() const {
    return link_->bPeerIsInBackground();
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
void CaptureController::handleEventFromPeer(const QVariantMap& event) {
    peer_->handleEventFromPeer(event);
}
void CaptureController::handleResizeEvent(QSizeF size) {
    peer_->handleResizeEvent(size);
}
bool CaptureController::checkPeerProtocolVersion(const QString& version) const {
    return peer_->checkPeerProtocolVersion(version);
}
QString CaptureController::getDeviceInfo() const {
    return peer_->getDeviceInfo();
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
    link_->ioFrameChannelDidEndWithError(channel, error);
}

void CaptureController::setUSBPort(quint16 port) {
    link_->setUSBPort(port);
}
void CaptureController::setLoopbackPort(quint16 port) {
    link_->setLoopbackPort(port);
}
