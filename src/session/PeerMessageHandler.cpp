#include "session/PeerMessageHandler.h"

#include "base/Bundle.h"
#include "base/Logging.h"
#include "display/ZDUtil.h"
#include "link/PTChannel.h"
#include "platform/SystemInfo.h"
#include "session/ConnectionManager.h"
#include "session/PeerMessage.h"
#include "session/ZDAppDelegate.h"
#include "video/StreamController.h"

using namespace PeerMessage;

PeerMessageHandler::PeerMessageHandler(ConnectionManager& link, StreamController* stream,
                                       const SystemInfo& systemInfo)
    : link_(link), stream_(stream), systemInfo_(systemInfo) {}

bool PeerMessageHandler::ioFrameChannelShouldAcceptFrameOfType(PTChannel* channel, uint32_t type, uint32_t,
                                                               uint32_t) {
    if (isAcceptedFromDevice(type)) return true;
    // Not something the app sends: the channel ends, and the link is made again.
    qCWarning(lcSession, "the device sent a frame of unknown type %u: closing the link", type);
    if (channel) channel->close();
    return false;
}

void PeerMessageHandler::ioFrameChannelDidReceiveFrameOfType(PTChannel*, uint32_t type, uint32_t,
                                                             const PTData* payload) {
    const QByteArray bytes = payload ? QByteArray(payload->data()) : QByteArray();
    switch (type) {
    case kFrameTypeDeviceInfo:
        handleDeviceInfo(bytes);
        break;
    case kFrameTypeEvent:
        if (std::optional<QVariantMap> event = decodeDictionary(bytes)) handleEventFromPeer(*event);
        break;
    default:
        break; // texts, pings and pongs are taken and not used; 0 ends the channel by itself
    }
}

void PeerMessageHandler::handleDeviceInfo(const QByteArray& payload) {
    _peerDeviceInfo = decodeDictionary(payload).value_or(QVariantMap());
    const auto info = [this](const char* key) {
        const QString value = stringValue(_peerDeviceInfo, QLatin1String(key));
        return value.isEmpty() ? QStringLiteral("?") : value;
    };
    qCInfo(lcSession, "the device introduced itself: %s, %s %s, protocol %s",
           qUtf8Printable(info("hardwareString")), qUtf8Printable(info("softwareString")),
           qUtf8Printable(info("softwareVersion")), qUtf8Printable(info("protocolVersion")));
    _bDeviceResignActive = false;
    const bool hardwareEncoder = stream_ && stream_->bH264HWCodec();
    // The shell hears of the new channel first, so what it sends goes out before the answer.
    link_.setBUSBConnected(true);
    sendMessage(introductionReply(hardwareEncoder), kChannelCurrent);
}

QString PeerMessageHandler::introductionReply(bool hardwareEncoder) const {
    const QString version =
        Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString();
    const QString protocol = Bundle::main()
                                 .propertyListResource(QStringLiteral("Defaults"))
                                 .toMap()
                                 .value(QStringLiteral("protocolVersion"))
                                 .toString();
    return QStringLiteral("Version:%1 OS:%2 Hardware:%3 Protocol:%4 H264:%5")
        .arg(version, ZDUtil::getMacOSVersionString(systemInfo_), getDeviceInfo(), protocol)
        .arg(hardwareEncoder ? 1 : 0);
}

void PeerMessageHandler::handleEventFromPeer(const QVariantMap& event) {
    const QString name = stringValue(event, QStringLiteral("eventName"));
    ZDAppDelegate* delegate = delegate_;
    auto point = [&event]() {
        return QPointF(floatValue(event, QStringLiteral("x")), floatValue(event, QStringLiteral("y")));
    };

    if (name == u"DeviceResize") {
        _newDeviceSize =
            QSizeF(floatValue(event, QStringLiteral("width")), floatValue(event, QStringLiteral("height")));
        if (!_bDeviceResignActive)
            handleResizeEvent(_newDeviceSize);
        else
            _bDeviceResized = true; // applied once, when the app is active again
    } else if (name == u"DeviceResignActive") {
        _bDeviceResignActive = true;
        if (delegate) delegate->inputInterrupted();
    } else if (name == u"DeviceBecomeActive") {
        _bDeviceResignActive = false;
        if (_bDeviceResized) handleResizeEvent(_newDeviceSize);
        _bDeviceResized = false;
    } else if (name == u"DeviceBackground" || name == u"DeviceLocked" || name == u"DeviceTerminate" ||
               name == u"ErrorDecoding") {
        if (delegate) delegate->inputInterrupted();
        if (stream_) stream_->stopStream();
    } else if (name == u"DeviceForeground") {
    } else if (name == u"ReadyToReceive") {
        if (stream_) stream_->startStream();
    } else if (!delegate) {
    } else if (name == u"SingleTap") {
        delegate->handleTapEvent(point(), false);
    } else if (name == u"TwoFingerSingleTap") {
        delegate->handleTwoFingerTapEvent(point());
    } else if (name == u"ThreeFingerSingleTap") {
        delegate->handleThreeFingerTapEvent(point());
    } else if (name == u"Scrolled") {
        delegate->handleScrollEvent(event);
    } else if (name == u"Dragged") {
        delegate->handleDragEvent(event);
    } else if (name == u"Hoverred") {
        delegate->handleHoverEvent(event);
    } else if (name == u"PencilEvent") {
        delegate->handlePencilEvent(event);
    } else if (name == u"StylusStatusChanged") {
        delegate->handleStylusStatusChanged(event);
    } else if (name == u"Zoomed") {
        delegate->handleZoomEvent(event);
    } else if (name == u"TwoFingerRotated") {
        delegate->handleTwoFingerRotationEvent(event);
    } else if (name == u"TwoFingerPanned") {
        delegate->handleTwoFingerPanEvent(event);
    } else if (name == u"KeyboardEvent") {
        delegate->handleKeyboardEvent(event);
    } else if (name == u"vKeyboardEvent") {
        delegate->handleVirtualKeyboardEvent(event);
    } else if (name == u"vKeyboardSourceEvent") {
        delegate->handleVirtualKeyboardSourceEvent(event);
    }
}

void PeerMessageHandler::handleResizeEvent(QSizeF size) {
    if (delegate_) delegate_->resizeEventFromDevice(size);
}

bool PeerMessageHandler::sendingChannel(int32_t channel) const {
    if (channel == kChannelCurrent) channel = link_.currentChannel();
    return channel == kChannelUSB && link_.ptChannelConnected();
}

void PeerMessageHandler::sendMessage(const QString& message, int32_t channel,
                                     std::function<void(const OptError&)> sent) {
    if (!sendingChannel(channel)) {
        if (sent) sent(Error::posix(ENOTCONN));
        return;
    }
    link_.ptChannelConnected()->sendFrameOfType(kFrameTypeTextMessage, 0, encodeText(message),
                                                std::move(sent));
}

void PeerMessageHandler::sendEvent(const QVariantMap& event, int32_t type, int32_t channel) {
    if (!sendingChannel(channel)) return;
    OptError error;
    const QByteArray payload = encodeDictionary(event, &error);
    if (error) return; // a value with no property-list form: nothing sensible to send
    link_.ptChannelConnected()->sendFrameOfType(uint32_t(type), 0, payload, nullptr);
}

bool PeerMessageHandler::checkPeerProtocolVersion(const QString& version) const {
    const QString peer = stringValue(_peerDeviceInfo, QStringLiteral("protocolVersion"));
    if (peer.isNull()) return false;
    return ZDUtil::compareVersion(version, peer) <= 0;
}

QString PeerMessageHandler::getDeviceInfo() const {
    return systemInfo_.machineModel();
}
