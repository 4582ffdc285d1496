#pragma once

#include "fakes/ChildProcess.h"
#include "link/PTChannel.h"

#include <QFile>
#include <QJsonObject>
#include <vector>

// Collects what one channel delivers.
class FrameCollector : public PTChannelDelegate {
public:
    struct Frame {
        uint32_t type;
        uint32_t tag;
        QByteArray payload;
    };

    void ioFrameChannelDidReceiveFrameOfType(PTChannel*, uint32_t type, uint32_t tag,
                                             const PTData* payload) override {
        frames.push_back({type, tag, payload ? payload->dispatchData() : QByteArray()});
    }
    uint8_t implementedOperations() const override { return kDidEndWithError; }
    void ioFrameChannelDidEndWithError(PTChannel*, const OptError& error) override {
        ++ends;
        endError = error;
    }

    // The first frame of `type` (and, for texts, that text; for events, that name), or nullptr.
    const Frame* find(uint32_t type, const QString& textOrEventName = {}) const;
    bool waitFor(uint32_t type, const QString& textOrEventName = {}, int timeoutMs = 5000) const;

    std::vector<Frame> frames;
    int ends = 0;
    OptError endError;
};

// device-sim on a free port playing `script`, recording to a file of its own.
class DeviceSimProcess {
public:
    explicit DeviceSimProcess(const QString& script, const QStringList& extraArguments = {});
    bool listening() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    ChildProcess& process() { return process_; }
    // The record so far, one object per line.
    std::vector<QJsonObject> record() const;

private:
    QString recordPath_;
    ChildProcess process_;
    uint16_t port_ = 0;
};
