#pragma once

#include "shell/SessionControl.h"

#include <QStringList>

// A session controller that writes every call into one ordered log ("message:screenOn/4",
// "event:CursorHidden/104/4", "setBScreenOff:1", "applicationShouldTerminate"...).
class FakeSession final : public SessionControl {
public:
    int32_t currentChannel() const override { return channel; }
    int32_t connectionMode() const override { return 0; }
    void sendMessage(const QString& message, int32_t ch, std::function<void()> sent) override {
        log << QStringLiteral("message:%1/%2").arg(message).arg(ch);
        if (sent && holdSends)
            heldSends.push_back(std::move(sent));
        else if (sent)
            sent();
    }
    void sendEvent(const QVariantMap& event, int32_t type, int32_t ch) override {
        // The event holds its name and nothing else.
        log << QStringLiteral("event:%1/%2/%3")
                   .arg(event.keys() == QStringList{"eventName"} ? event["eventName"].toString() : "?")
                   .arg(type)
                   .arg(ch);
    }
    void setBScreenOff(bool off) override { log << QStringLiteral("setBScreenOff:%1").arg(int(off)); }
    void enqueueConnectToLocalIPv4Port() override { log << "enqueueConnectToLocalIPv4Port"; }
    void enqueueConnectToUSBDevice() override { log << "enqueueConnectToUSBDevice"; }
    void stopStream() override { log << "stopStream"; }
    TerminateReply applicationShouldTerminate() override {
        log << "applicationShouldTerminate";
        return terminateReply;
    }
    // The link finishing the sends held back, as it would once the bytes are out.
    void completeHeldSends() {
        for (auto held = std::move(heldSends); auto& sent : held)
            sent();
    }

    int32_t channel = 1;
    bool holdSends = false;
    TerminateReply terminateReply = TerminateReply::Now;
    QStringList log;
    std::vector<std::function<void()>> heldSends;
};
