#pragma once

#include "platform/DisplayServices.h"

#include <QString>
#include <QVariantMap>

// What the display side asks of the session controller (CaptureController and its capture source) and
// of the shell when the user or the system changes the display mode. Implemented above this folder and
// held without owning; every call comes on the main thread.
class DisplayHost {
public:
    virtual ~DisplayHost() = default;

    // A device is connected over USB or over the network (`bUSBConnected` or `bAirConnected`).
    virtual bool isDeviceConnected() const = 0;
    // A text message to the device on the current channel; dropped while none is connected.
    virtual void sendMessage(const QString& message) = 0;
    virtual void stopStream() = 0;
    // Hides the device's cursor, stops the stream and asks the display controller for `mode`; the
    // restart notification that follows brings the stream back at the new size.
    virtual void changeDisplayMode(int32_t mode) = 0;
    // Restarts the stream on `display` at its current size (0 leaves the stream stopped).
    virtual void resetResolution(DisplayID display) = 0;
    // The capture source's frame rate.
    virtual double videoCaptureFPS() const = 0;
    virtual void setVideoCaptureFPS(double fps) = 0;
    // Whether every configured encoder reports a hardware H.264 codec (`bH264HWCodec`).
    virtual bool hardwareEncodingAvailable() const = 0;
    // The device's introduction, which the display side extends with its view size and size index.
    virtual QVariantMap peerDeviceInfo() const = 0;
    virtual void setPeerDeviceInfo(const QVariantMap& info) = 0;
    // The text shown for a localisation key.
    virtual QString localizedString(const QString& key) const = 0;
};
