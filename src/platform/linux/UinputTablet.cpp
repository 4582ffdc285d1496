#include "platform/linux/UinputTablet.h"

#include "base/Logging.h"

#include <QFile>

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Tells what the user can do about it; the README's "Pressure" section has the steps.
Error openError(const QString& path, int errnum) {
    QString why;
    switch (errnum) {
    case EACCES:
    case EPERM:
    case EROFS:
        why = QStringLiteral("%1 is not writable").arg(path);
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        why = QStringLiteral("%1 is missing (the uinput module is not loaded)").arg(path);
        break;
    default:
        why = QStringLiteral("%1 cannot be opened (%2)")
                  .arg(path, QString::fromLocal8Bit(std::strerror(errnum)));
    }
    return Error{kPOSIXErrorDomain, errnum,
                 why + QStringLiteral(": pressure and tilt are off; see README, Pressure")};
}

} // namespace

UinputTablet::DeviceTemplate UinputTablet::deviceTemplate() {
    DeviceTemplate device(libevdev_new(), libevdev_free);
    libevdev* dev = device.get();
    libevdev_set_name(dev, kDeviceName.toUtf8().constData());
    // A virtual bus keeps vendor quirks of real tablets away; the identity is the one the pen's
    // proximity events carry.
    libevdev_set_id_bustype(dev, BUS_VIRTUAL);
    libevdev_set_id_vendor(dev, 0xBEEF);
    libevdev_set_id_product(dev, 1);
    // On the screen itself: the pen's position is where it draws, not a relative pointer.
    libevdev_enable_property(dev, INPUT_PROP_DIRECT);
    for (const PenAxis& axis : PenLayout::kAxes) {
        input_absinfo info{};
        info.minimum = axis.minimum;
        info.maximum = axis.maximum;
        info.resolution = axis.resolution;
        libevdev_enable_event_code(dev, EV_ABS, axis.code, &info);
    }
    for (uint16_t button : PenLayout::kButtons)
        libevdev_enable_event_code(dev, EV_KEY, button, nullptr);
    return device;
}

std::unique_ptr<UinputTablet> UinputTablet::open(QSize rootSize, OptError* error, const QString& uinputPath) {
    const auto fail = [&](Error e) {
        qCWarning(lcPlatform).noquote() << e.description;
        if (error) *error = std::move(e);
        return nullptr;
    };
    const int fd = ::open(QFile::encodeName(uinputPath).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return fail(openError(uinputPath, errno));
    const DeviceTemplate wanted = deviceTemplate();
    libevdev_uinput* device = nullptr;
    const int rc = libevdev_uinput_create_from_device(wanted.get(), fd, &device);
    if (rc < 0) {
        ::close(fd);
        return fail(Error{kPOSIXErrorDomain, -rc,
                          QStringLiteral("the kernel refused the pen device through %1 (%2): pressure and "
                                         "tilt are off; see README, Pressure")
                              .arg(uinputPath, QString::fromLocal8Bit(std::strerror(-rc)))});
    }
    if (error) error->reset();
    std::unique_ptr<UinputTablet> tablet(
        new UinputTablet(std::unique_ptr<Device>(new Device{fd, device}), rootSize));
    qCInfo(lcPlatform).noquote() << "pen tablet" << kDeviceName << "at"
                                 << (tablet->devicePath_.isEmpty() ? uinputPath : tablet->devicePath_);
    return tablet;
}

UinputTablet::UinputTablet(std::unique_ptr<Device> device, QSize rootSize)
    : device_(std::move(device)), writer_(libevdev_uinput_get_fd(device_->uinput), rootSize) {
    if (const char* node = libevdev_uinput_get_devnode(device_->uinput))
        devicePath_ = QString::fromLocal8Bit(node);
}

UinputTablet::~UinputTablet() = default;

UinputTablet::Device::~Device() {
    libevdev_uinput_destroy(uinput);
    ::close(fd);
}

void UinputTablet::proximityIn(const PenSample& sample) {
    report(writer_.proximityIn(sample));
}

void UinputTablet::move(const PenSample& sample) {
    report(writer_.move(sample));
}

void UinputTablet::proximityOut() {
    report(writer_.proximityOut());
}

void UinputTablet::setArea(QSize rootSize) {
    writer_.setArea(rootSize);
}

void UinputTablet::report(const OptError& error) {
    if (!error) {
        writeFailed_ = false;
        return;
    }
    if (!writeFailed_)
        qCWarning(lcPlatform).noquote() << "the pen device refused an event:" << error->toString();
    writeFailed_ = true;
}
