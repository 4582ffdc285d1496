#include "ScribbleCanvas.h"

#include "base/Clock.h"
#include "platform/x11/XConnection.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace {

// Strokes show in a picture scaled down several times.
constexpr int kStrokeWidth = 6;

} // namespace

ScribbleCanvas::ScribbleCanvas(const QString& eventsPath) : log_(eventsPath) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

ScribbleCanvas::~ScribbleCanvas() {
    notifier_.reset();
    if (display_) XCloseDisplay(display_);
}

QString ScribbleCanvas::listen() {
    if (!log_.fileName().isEmpty() && !log_.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QStringLiteral("cannot write %1: %2").arg(log_.fileName(), log_.errorString());
    display_ = openXDisplay();
    if (!display_) return QStringLiteral("cannot open the X display");
    int event = 0, error = 0, major = 2, minor = 2;
    if (!XQueryExtension(display_, "XInputExtension", &xiOpcode_, &event, &error) ||
        XIQueryVersion(display_, &major, &minor) != Success)
        return QStringLiteral("the X server has no XInput 2");

    XSetWindowAttributes attributes{};
    input_ = XCreateWindow(display_, Window(winId()), 0, 0, unsigned(std::max(1, width())),
                           unsigned(std::max(1, height())), 0, 0, InputOnly, CopyFromParent, 0, &attributes);
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_Motion);
    XISetMask(bits, XI_ButtonPress);
    XISetMask(bits, XI_ButtonRelease);
    XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
    XISelectEvents(display_, input_, &mask, 1);
    // Devices come and go (a pen appears): their valuators are looked up again.
    unsigned char rootBits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(rootBits, XI_HierarchyChanged);
    XIEventMask rootMask{XIAllDevices, int(sizeof rootBits), rootBits};
    XISelectEvents(display_, DefaultRootWindow(display_), &rootMask, 1);
    XMapWindow(display_, input_);
    XFlush(display_);

    notifier_ = std::make_unique<QSocketNotifier>(ConnectionNumber(display_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &ScribbleCanvas::readEvents);
    announceWhenViewable();
    return {};
}

void ScribbleCanvas::announceWhenViewable() {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display_, input_, &attributes) || attributes.map_state != IsViewable) {
        QTimer::singleShot(20, this, &ScribbleCanvas::announceWhenViewable);
        return;
    }
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, input_, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    writeLine({{"type", "ready"}, {"window", QJsonArray{x, y, attributes.width, attributes.height}}});
    readEvents();
}

void ScribbleCanvas::writeLine(const QJsonObject& line) {
    if (!log_.isOpen()) return;
    log_.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    log_.flush();
}

const ScribbleCanvas::Device& ScribbleCanvas::device(int deviceId) {
    auto known = devices_.find(deviceId);
    if (known != devices_.end()) return known->second;
    Device device;
    int count = 0;
    if (XIDeviceInfo* info = XIQueryDevice(display_, deviceId, &count)) {
        device.name = QString::fromUtf8(info->name);
        for (int c = 0; c < info->num_classes; ++c) {
            if (info->classes[c]->type != XIValuatorClass) continue;
            const auto* valuator = reinterpret_cast<const XIValuatorClassInfo*>(info->classes[c]);
            char* label = valuator->label ? XGetAtomName(display_, valuator->label) : nullptr;
            auto& labels = device.valuatorLabels;
            if (int(labels.size()) <= valuator->number) labels.resize(size_t(valuator->number) + 1);
            labels[size_t(valuator->number)] = label ? QString::fromUtf8(label) : QString();
            if (label) XFree(label);
        }
        XIFreeDeviceInfo(info);
    }
    return devices_.emplace(deviceId, std::move(device)).first->second;
}

QJsonObject ScribbleCanvas::valuators(const Device& device, const unsigned char* mask, int maskLength,
                                      const double* values) {
    QJsonObject result;
    int next = 0;
    for (int i = 0; i < maskLength * 8; ++i) {
        if (!XIMaskIsSet(mask, i)) continue;
        const auto& labels = device.valuatorLabels;
        const bool named = size_t(i) < labels.size() && !labels[size_t(i)].isEmpty();
        result.insert(named ? labels[size_t(i)] : QString::number(i), values[next++]);
    }
    return result;
}

void ScribbleCanvas::drawTo(QPointF point) {
    if (page_.isNull()) return;
    QPainter painter(&page_);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, kStrokeWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawLine(last_, point);
    update(QRectF(last_, point)
               .normalized()
               .adjusted(-kStrokeWidth, -kStrokeWidth, kStrokeWidth, kStrokeWidth)
               .toAlignedRect());
    last_ = point;
}

void ScribbleCanvas::drawZoomMark(QPointF point) {
    if (page_.isNull()) return;
    // A ring per notch, wider the further in: a pinch leaves a target of rings where it zoomed.
    const double radius = 12.0 + 6.0 * std::abs(zoomLevel_);
    QPainter painter(&page_);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(zoomLevel_ >= 0 ? Qt::black : Qt::darkGray, kStrokeWidth));
    painter.drawEllipse(point, radius, radius);
    update(QRectF(point - QPointF(radius, radius), point + QPointF(radius, radius))
               .adjusted(-kStrokeWidth, -kStrokeWidth, kStrokeWidth, kStrokeWidth)
               .toAlignedRect());
}

void ScribbleCanvas::readEvents() {
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        const qint64 received = qint64(Clock::shared().uptime() * 1e6);
        if (event.type != GenericEvent || event.xcookie.extension != xiOpcode_ ||
            !XGetEventData(display_, &event.xcookie))
            continue;
        if (event.xcookie.evtype == XI_HierarchyChanged) {
            devices_.clear();
            XFreeEventData(display_, &event.xcookie);
            continue;
        }
        const auto* e = static_cast<const XIDeviceEvent*>(event.xcookie.data);
        const Device& source = device(e->sourceid);
        const char* type = e->evtype == XI_Motion        ? "motion"
                           : e->evtype == XI_ButtonPress ? "press"
                                                         : "release";
        QJsonObject line{
            {"type", type},
            {"root", QJsonArray{e->root_x, e->root_y}},
            {"window", QJsonArray{e->event_x, e->event_y}},
            {"device", source.name},
            {"valuators", valuators(source, e->valuators.mask, e->valuators.mask_len, e->valuators.values)},
            {"time_us", received},
            {"x_time_ms", qint64(e->time)}};
        if (e->evtype != XI_Motion) line.insert("button", e->detail);
        writeLine(line);

        const QPointF at(e->event_x, e->event_y);
        // Control and the wheel: the desktop's zoom, which a pinch on the device comes down to.
        if (e->evtype == XI_ButtonPress && (e->detail == 4 || e->detail == 5) &&
            (e->mods.effective & ControlMask)) {
            writeLine({{"type", "zoom"},
                       {"root", QJsonArray{e->root_x, e->root_y}},
                       {"button", e->detail},
                       {"level", zoomLevel_ += e->detail == 4 ? 1 : -1}});
            drawZoomMark(at);
        }
        if (e->evtype == XI_ButtonPress && e->detail == 1) {
            drawing_ = true;
            last_ = at;
            drawTo(at);
        } else if (e->evtype == XI_ButtonRelease && e->detail == 1) {
            drawing_ = false;
        } else if (e->evtype == XI_Motion && drawing_) {
            drawTo(at);
        }
        XFreeEventData(display_, &event.xcookie);
    }
}

void ScribbleCanvas::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.drawImage(event->rect(), page_, event->rect());
}

void ScribbleCanvas::resizeEvent(QResizeEvent*) {
    QImage page(size(), QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter(&page).drawImage(0, 0, page_);
    page_ = std::move(page);
    if (display_ && input_) {
        XResizeWindow(display_, input_, unsigned(std::max(1, width())), unsigned(std::max(1, height())));
        XFlush(display_);
    }
}
