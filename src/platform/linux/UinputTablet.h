#pragma once

#include "base/Error.h"
#include "platform/linux/PenEventWriter.h"
#include "platform/linux/PenTablet.h"

#include <QString>

#include <memory>

struct libevdev;
struct libevdev_uinput;

// The pen as a uinput drawing tablet ("Zub Pad Pen": Qt on X11 takes a device for a tablet only when
// its name says pen or stylus), made through libevdev when /dev/uinput is writable. Positions are
// mapped over the root window; a new root size rescales the mapping, the device stays. Destroying the
// tablet takes the pen out of proximity first, so no contact is left down.
class UinputTablet final : public PenTablet {
public:
    static inline const QString kDeviceName = QStringLiteral("Zub Pad Pen");
    static inline const QString kUinputPath = QStringLiteral("/dev/uinput");

    // Null, with an error that says why and what pressure and tilt then do, when the device cannot be
    // made: no uinput node, no permission to write it, or the kernel refused the device.
    static std::unique_ptr<UinputTablet> open(QSize rootSize, OptError* error = nullptr,
                                              const QString& uinputPath = kUinputPath);
    ~UinputTablet() override;
    UinputTablet(const UinputTablet&) = delete;
    UinputTablet& operator=(const UinputTablet&) = delete;

    void proximityIn(const PenSample& sample) override;
    void move(const PenSample& sample) override;
    void proximityOut() override;
    void setArea(QSize rootSize) override;
    QString deviceName() const override { return kDeviceName; }

    // The event node the kernel made for the pen (/dev/input/eventN); empty when sysfs does not say.
    QString devicePath() const { return devicePath_; }

    // The device as uinput is asked to make it: name, identity, axes and buttons.
    using DeviceTemplate = std::unique_ptr<libevdev, void (*)(libevdev*)>;
    static DeviceTemplate deviceTemplate();

private:
    struct Device {
        int fd;
        libevdev_uinput* uinput;
        ~Device();
    };
    UinputTablet(std::unique_ptr<Device> device, QSize rootSize);
    void report(const OptError& error);

    // Destroyed after the writer, which takes the pen out of proximity on the way.
    std::unique_ptr<Device> device_;
    PenEventWriter writer_;
    QString devicePath_;
    bool writeFailed_ = false;
};
