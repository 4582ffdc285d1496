#pragma once

#include "base/NotificationCenter.h"
#include "link/PTChannel.h"

#include <QString>
#include <functional>
#include <memory>

class PTUSBHub;

// The smallest client of the link: follows the usbmux daemon, takes the first device that attaches,
// connects to the companion app's port on it through the daemon, answers the introduction and trades a
// few frames, telling each step as one line. The agent does this for real; the probe shows the road.
class LinkProbe : public PTChannelDelegate {
public:
    using Print = std::function<void(const QString& line)>;
    // Once: 0 when the introduction came and the link ended cleanly, otherwise a failure code.
    using Done = std::function<void(int exitCode)>;

    static constexpr uint16_t kDevicePort = 23481;

    LinkProbe(PTUSBHub* hub, Print print, Done done);
    ~LinkProbe() override;

    void start();

    void ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                             const PTData* payload) override;
    uint8_t implementedOperations() const override { return kDidEndWithError; }
    void ioFrameChannelDidEndWithError(PTChannel* channel, const OptError& error) override;

private:
    void deviceAttached(const QVariantMap& info);
    void deviceDetached(const QVariantMap& info);
    void introduced(const QVariantMap& introduction);
    void send(uint32_t type, uint32_t tag, const QByteArray& payload, const QString& what);
    void finish(int exitCode);

    PTUSBHub* hub_;
    Print print_;
    Done done_;
    NotificationCenter::ObserverId attachObserver_ = 0;
    NotificationCenter::ObserverId detachObserver_ = 0;
    std::shared_ptr<PTChannel> channel_;
    qint64 deviceID_ = -1;
    bool introduced_ = false;
    bool finished_ = false;
};
