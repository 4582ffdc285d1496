#pragma once

#include "CursorTally.h"
#include "DeviceScript.h"
#include "FrameRecorder.h"
#include "ScriptRunner.h"
#include "VideoReceiver.h"
#include "link/PTChannel.h"

#include <QJsonObject>
#include <functional>
#include <memory>
#include <set>

// The companion app's side of the link: listens on a TCP port of 127.0.0.1, takes one connection at a
// time, plays the script on it from the start and records every frame both ways. A connection that
// arrives while another is open is closed at once.
class DeviceSim : public PTChannelDelegate {
public:
    // Status lines ({"event": "listening" | "connected" | "refused" | "script-finished" |
    // "script-failed" | "send-failed" | "disconnected" | "video" | "picture-saved" | "picture-failed", ...})
    // for whoever runs the simulator.
    using Status = std::function<void(const QJsonObject&)>;
    // After each connection's end: whether its script ran through.
    using ConnectionEnded = std::function<void(bool scriptSucceeded)>;

    DeviceSim(std::vector<ScriptCommand> script, FrameRecorder* recorder, Status status);
    ~DeviceSim() override;

    // Port 0 picks a free one; the callback gets the port actually bound.
    void listen(uint16_t port, std::function<void(const OptError&, uint16_t port)> callback);
    void setConnectionEnded(ConnectionEnded handler) { connectionEnded_ = std::move(handler); }
    // Runs commands on the open connection now, beside its script: what a driving test or the demo
    // decides while the link is up ("send-frame 105", "disconnect"). Reported as "control-finished" or
    // "control-failed"; with no connection open nothing runs.
    void control(std::vector<ScriptCommand> commands);
    bool hasConnection() const { return bool(current_); }

    // Where the last picture goes when a connection ends, when `save-picture` names no path, and when
    // the program asks (at its exit); empty: nowhere.
    void setLastFramePath(const QString& path) { lastFramePath_ = path; }
    // Writes the last decoded picture as PNG to `path` (empty: the last-frame path) and reports
    // "picture-saved".
    OptError savePicture(const QString& path);
    // At exit and at a connection's end: the last picture to the last-frame path, if there is one of each.
    void saveLastFrame();
    const VideoReceiver& video() const { return video_; }

    void ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                             const PTData* payload) override;
    uint8_t implementedOperations() const override { return kDidEndWithError | kDidAcceptConnection; }
    void ioFrameChannelDidEndWithError(PTChannel* channel, const OptError& error) override;
    void ioFrameChannelDidAcceptConnection(PTChannel* listening, std::shared_ptr<PTChannel> channel,
                                           const PTAddress& address) override;

private:
    class Link;

    std::vector<ScriptCommand> script_;
    FrameRecorder* recorder_;
    Status status_;
    ConnectionEnded connectionEnded_;
    std::shared_ptr<PTChannel> listener_;
    std::shared_ptr<PTChannel> current_;
    std::unique_ptr<Link> link_;
    std::unique_ptr<ScriptRunner> runner_;
    std::vector<std::unique_ptr<ScriptRunner>> controls_;
    VideoReceiver video_;
    CursorTally cursor_;
    QString lastFramePath_;
    bool scriptSucceeded_ = false;
    // Connections turned away, kept until their end has been reported.
    std::set<std::shared_ptr<PTChannel>> refused_;
};
