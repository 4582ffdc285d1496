#pragma once

#include "shell/SessionControl.h"

#include <QStringList>

// A session controller that writes every call into one ordered log ("message:screenOn",
// "event:CursorHidden", "setBScreenOff:1", "applicationShouldTerminate"...).
class FakeSession final : public SessionControl {
public:
    int32_t currentChannel() const override { return channel; }
    int32_t connectionMode() const override { return 0; }
    void sendMessage(const QString& message, int32_t ch, std::function<void()> sent) override {
        log << QStringLiteral("message:") + message;
        channels << ch;
        if (!sent) return;
        if (holdSends)
            heldSends.push_back(std::move(sent));
        else
            sent();
    }
    void sendEvent(const QVariantMap& event, int32_t type, int32_t ch) override {
        log << QStringLiteral("event:") + event.value(QStringLiteral("eventName")).toString();
        eventTypes << type;
        channels << ch;
        eventKeys << event.keys().join(u',');
    }
    void setBScreenOff(bool off) override { log << QStringLiteral("setBScreenOff:%1").arg(int(off)); }
    void enqueueConnectToLocalIPv4Port() override { log << QStringLiteral("enqueueConnectToLocalIPv4Port"); }
    void enqueueConnectToUSBDevice() override { log << QStringLiteral("enqueueConnectToUSBDevice"); }
    void stopStream() override { log << QStringLiteral("stopStream"); }
    TerminateReply applicationShouldTerminate() override {
        log << QStringLiteral("applicationShouldTerminate");
        return terminateReply;
    }

    // Completes the sends held back so far, as the link would once the bytes are out.
    void completeHeldSends() {
        auto held = std::move(heldSends);
        heldSends.clear();
        for (auto& sent : held)
            sent();
    }

    int32_t channel = 1;
    bool holdSends = false;
    TerminateReply terminateReply = TerminateReply::Now;
    QStringList log;
    QStringList eventKeys;
    QList<int32_t> channels;
    QList<int32_t> eventTypes;
    std::vector<std::function<void()>> heldSends;
};
