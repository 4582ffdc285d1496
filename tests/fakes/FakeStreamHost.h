#pragma once

#include "display/ZDUtil.h"
#include "video/StreamHost.h"

#include <QStringList>
#include <mutex>

// The session as the stream sees it: answers from what the test sets, records the messages sent.
class FakeStreamHost final : public StreamHost {
public:
    QString protocolVersion = QStringLiteral("1.0.9");
    bool air = false;
    bool simulate = true;
    QVariantMap info{{QStringLiteral("hardwareString"), QStringLiteral("iPad7,3")}};
    int registered = 0, unregistered = 0;

    void sendMessage(const QString& message) override {
        std::lock_guard lock(mutex_);
        messages_ << message;
    }
    bool checkPeerProtocolVersion(const QString& version) const override {
        return !protocolVersion.isEmpty() && ZDUtil::compareVersion(version, protocolVersion) <= 0;
    }
    bool bAirConnected() const override { return air; }
    bool simulateCursorPos() const override { return simulate; }
    void registerMouseEvent() override { ++registered; }
    void unregisterMouseEvent() override { ++unregistered; }
    QVariantMap peerDeviceInfo() const override { return info; }

    QStringList sent() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        messages_.clear();
    }

private:
    mutable std::mutex mutex_;
    QStringList messages_;
};
