#pragma once

#include "display/DisplayHost.h"

#include <QStringList>

// Records what the display side asks of the session, in order, as short lines ("send:waitASec",
// "stopStream", "reset:5", "fps:60", "mode:2", "info").
class FakeDisplayHost final : public DisplayHost {
public:
    bool connected = true;
    double fps = 30;
    bool hardware = true;
    QVariantMap deviceInfo;
    QStringList calls;

    bool isDeviceConnected() const override { return connected; }
    void sendMessage(const QString& message) override { calls << QStringLiteral("send:") + message; }
    void stopStream() override { calls << QStringLiteral("stopStream"); }
    void changeDisplayMode(int32_t mode) override { calls << QStringLiteral("mode:%1").arg(mode); }
    void resetResolution(DisplayID display) override { calls << QStringLiteral("reset:%1").arg(display); }
    double videoCaptureFPS() const override { return fps; }
    void setVideoCaptureFPS(double value) override {
        fps = value;
        calls << QStringLiteral("fps:%1").arg(value);
    }
    bool hardwareEncodingAvailable() const override { return hardware; }
    QVariantMap peerDeviceInfo() const override { return deviceInfo; }
    void setPeerDeviceInfo(const QVariantMap& info) override {
        deviceInfo = info;
        calls << QStringLiteral("info");
    }
    QString localizedString(const QString& key) const override {
        return key == QLatin1String("appRetinaAlert") ? QStringLiteral("%1 streams a very large picture")
                                                      : key;
    }
};
