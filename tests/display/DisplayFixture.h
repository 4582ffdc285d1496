#pragma once

#include "base/NotificationCenter.h"
#include "base/UserDefaults.h"
#include "display/DisplayArrangement.h"
#include "display/DisplayHost.h"
#include "display/ResolutionController.h"
#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDesktop.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/TestSupport.h"

#include <QStringList>
#include <gtest/gtest.h>

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

// Two displays side by side, 1 (1366 x 1024, the main one) and 2 (1920 x 1080), the display side over
// them with its callback registered, and what it announces: menu updates counted, stream restarts
// with their mode.
class DisplayTest : public ::testing::Test {
protected:
    DisplayTest() {
        displays.addDisplay({.id = 1, .bounds = {0, 0, 1366, 1024}});
        displays.addDisplay({.id = 2, .bounds = {1366, 0, 1920, 1080}});
        controller.registerDisplayCallback();
        auto& center = NotificationCenter::defaultCenter();
        observers = {
            center.addObserver(ZDVirtualScreenController::kUpdateMenuNotification, nullptr,
                               [this](const Notification&) { ++menuUpdates; }),
            center.addObserver(ZDVirtualScreenController::kModeWasChangedNotification, nullptr,
                               [this](const Notification& n) { modes.push_back(n.userInfo.value("mode")); })};
    }
    ~DisplayTest() override {
        for (auto id : observers)
            NotificationCenter::defaultCenter().removeObserver(id);
    }

    FakeDisplayServices displays;
    ZDVirtualScreenController controller{displays};
    FakeDisplayHost host;
    UserDefaults defaults{freshTempPath(QStringLiteral("display-")) + QStringLiteral("/zubpad.plist")};
    FakeAlerts alerts;
    DisplayArrangement arrangement{controller, host, defaults};
    ResolutionController resolutions{controller, host, defaults, alerts, arrangement};
    std::vector<NotificationCenter::ObserverId> observers;
    int menuUpdates = 0;
    std::vector<QVariant> modes;
};
