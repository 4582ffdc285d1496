#pragma once

#include <QString>
#include <QVariantMap>

// What the stream asks of the session that owns it: the device's messages and introduction, and the
// cursor forwarding that runs alongside a stream. Implemented by the session; all calls come on the
// main thread.
class StreamHost {
public:
    virtual ~StreamHost() = default;

    // A text message to the device on the current channel; dropped unless a device is introduced.
    virtual void sendMessage(const QString& message) = 0;
    // Whether the device speaks `version` of the peer protocol or a later one.
    virtual bool checkPeerProtocolVersion(const QString& version) const = 0;
    // Whether the device is linked over the network (never, in this system).
    virtual bool bAirConnected() const { return false; }
    // Whether the device draws the cursor itself from cursor messages (the picture then leaves it out).
    // Never while nothing forwards the cursor: the picture then keeps it.
    virtual bool simulateCursorPos() const { return false; }
    // The cursor forwarding that runs alongside a stream whose picture leaves the cursor out.
    virtual void registerMouseEvent() {}
    virtual void unregisterMouseEvent() {}
    // The device's introduction; its "hardwareString" goes to the encoders.
    virtual QVariantMap peerDeviceInfo() const = 0;
};
