#include "platform/x11/X11DisplayServices.h"

#include "platform/x11/DisplayLayout.h"
#include "platform/x11/Edid.h"
#include "platform/x11/XConnection.h"

#include <QSocketNotifier>
#include <QTimer>
#include <map>

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace {

OptError displayError(int code, const QString& text) {
    return Error::make(kDisplayServicesErrorDomain, code, text);
}

template <typename T, void (*Free)(T*)> struct XDeleter {
    void operator()(T* p) const {
        if (p) Free(p);
    }
};
using ResourcesPtr =
    std::unique_ptr<XRRScreenResources, XDeleter<XRRScreenResources, XRRFreeScreenResources>>;
using OutputInfoPtr = std::unique_ptr<XRROutputInfo, XDeleter<XRROutputInfo, XRRFreeOutputInfo>>;
using CrtcInfoPtr = std::unique_ptr<XRRCrtcInfo, XDeleter<XRRCrtcInfo, XRRFreeCrtcInfo>>;

} // namespace

struct X11DisplayServices::Impl {
    ::Display* dpy = nullptr;
    Window root = 0;
    int eventBase = 0;
    Atom edidAtom = 0;
    Atom nonDesktopAtom = 0;
    std::unique_ptr<QSocketNotifier> notifier;
    DisplayConfiguration last;
    std::map<CallbackId, ReconfigurationCallback> callbacks;
    CallbackId nextId = 1;

    ~Impl() {
        notifier.reset();
        if (dpy) XCloseDisplay(dpy);
    }

    struct Snapshot {
        DisplayConfiguration config;
        std::map<DisplayID, RRCrtc> crtcs;
    };

    QByteArray outputProperty(RROutput output, Atom property) const {
        if (!property) return {};
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        // 256 longs: room for the base block and a few extension blocks.
        if (XRRGetOutputProperty(dpy, output, property, 0, 256, False, False, AnyPropertyType, &type, &format,
                                 &count, &remaining, &data) != Success)
            return {};
        QByteArray bytes;
        if (data && format == 8)
            bytes = QByteArray(reinterpret_cast<const char*>(data), qsizetype(count));
        else if (data && format == 32 && count > 0)
            bytes = QByteArray::number(qlonglong(*reinterpret_cast<long*>(data)));
        if (data) XFree(data);
        return bytes;
    }

    // No error trap around the reads: each request reports its own failure (a null reply), and an output
    // that vanishes half way through is simply not listed.
    Snapshot read() const {
        Snapshot snapshot;
        ResourcesPtr res(XRRGetScreenResourcesCurrent(dpy, root));
        if (!res) return snapshot;
        const RROutput primary = XRRGetOutputPrimary(dpy, root);
        for (int i = 0; i < res->noutput; ++i) {
            const RROutput output = res->outputs[i];
            OutputInfoPtr info(XRRGetOutputInfo(dpy, res.get(), output));
            if (!info || info->connection != RR_Connected || !info->crtc) continue;
            // Head-mounted displays and the like are not part of the desktop.
            if (outputProperty(output, nonDesktopAtom) == "1") continue;
            CrtcInfoPtr crtc(XRRGetCrtcInfo(dpy, res.get(), info->crtc));
            if (!crtc || !crtc->mode) continue;
            const DisplayState state{DisplayID(output),
                                     QRect(crtc->x, crtc->y, int(crtc->width), int(crtc->height))};
            if (output == primary)
                snapshot.config.displays.insert(snapshot.config.displays.begin(), state);
            else
                snapshot.config.displays.push_back(state);
            snapshot.crtcs[DisplayID(output)] = info->crtc;
        }
        return snapshot;
    }

    // Straight from the output: an ID that is no output gives an error reply and no EDID, and an output
    // loses its EDID when its monitor goes.
    std::optional<EdidInfo> edid(DisplayID display) const {
        return parseEdid(outputProperty(RROutput(display), edidAtom));
    }

    // Calls back for every display that changed since the last look.
    void processEvents() {
        bool changed = false;
        while (XPending(dpy)) {
            XEvent event;
            XNextEvent(dpy, &event);
            XRRUpdateConfiguration(&event);
            if (event.type == eventBase + RRScreenChangeNotify || event.type == eventBase + RRNotify)
                changed = true;
        }
        if (changed) {
            DisplayConfiguration now = read().config;
            const auto changes = reconfigurationFlags(last, now);
            last = std::move(now);
            // A callback may add or remove callbacks: call the ones there were when the change came.
            const auto current = callbacks;
            for (const auto& [display, flags] : changes)
                for (const auto& [id, callback] : current)
                    if (callbacks.contains(id)) callback(display, flags);
        }
        scheduleQueuedEvents();
    }

    // Replies read for our own requests may have brought events along; the socket will not wake the
    // notifier for those, so look at them on the next turn of the loop.
    void scheduleQueuedEvents() {
        if (XEventsQueued(dpy, QueuedAlready) > 0)
            QTimer::singleShot(0, notifier.get(), [this] { processEvents(); });
    }

    std::optional<RRMode> modeOfSize(XRRScreenResources* res, RROutput output, QSize size) const {
        OutputInfoPtr info(XRRGetOutputInfo(dpy, res, output));
        if (!info) return std::nullopt;
        for (int i = 0; i < info->nmode; ++i)
            for (int m = 0; m < res->nmode; ++m)
                if (res->modes[m].id == info->modes[i] && int(res->modes[m].width) == size.width() &&
                    int(res->modes[m].height) == size.height())
                    return res->modes[m].id;
        return std::nullopt;
    }

    OptError move(DisplayID display, QPoint origin, std::optional<QSize> wantedSize);
};

OptError X11DisplayServices::Impl::move(DisplayID display, QPoint origin, std::optional<QSize> wantedSize) {
    const Snapshot snapshot = read();
    const DisplayState* state = snapshot.config.find(display);
    if (!state) return displayError(1, QStringLiteral("display %1 is not online").arg(display));

    XErrorTrap trap(dpy);
    // One configuration: nobody else changes the arrangement half way through.
    XGrabServer(dpy);
    const auto finish = [&](OptError result) {
        XUngrabServer(dpy);
        if (const auto code = trap.sync(); code && !result)
            result = displayError(
                4, QStringLiteral("the server refused the configuration (X error %1)").arg(*code));
        scheduleQueuedEvents();
        return result;
    };

    ResourcesPtr res(XRRGetScreenResourcesCurrent(dpy, root));
    const RRCrtc crtcId = snapshot.crtcs.at(display);
    CrtcInfoPtr crtc(res ? XRRGetCrtcInfo(dpy, res.get(), crtcId) : nullptr);
    if (!crtc) return finish(displayError(1, QStringLiteral("display %1 has no CRTC").arg(display)));

    RRMode mode = crtc->mode;
    QSize size = state->bounds.size();
    if (wantedSize && *wantedSize != size) {
        if (const auto other = modeOfSize(res.get(), RROutput(display), *wantedSize)) {
            mode = *other;
            size = *wantedSize;
        }
    }

    std::vector<QRect> rects;
    for (const DisplayState& d : snapshot.config.displays)
        rects.push_back(d.id == display ? QRect(origin, size) : d.bounds);
    const QSize desktop = desktopSize(rects);
    int minW = 0, minH = 0, maxW = 0, maxH = 0;
    XRRGetScreenSizeRange(dpy, root, &minW, &minH, &maxW, &maxH);
    if (desktop.width() > maxW || desktop.height() > maxH)
        return finish(displayError(2, QStringLiteral("a desktop of %1x%2 exceeds the largest screen %3x%4")
                                          .arg(desktop.width())
                                          .arg(desktop.height())
                                          .arg(maxW)
                                          .arg(maxH)));

    // Another output on the same CRTC shows the same picture by hardware; moving apart needs a CRTC of
    // its own.
    RRCrtc target = crtcId;
    std::vector<RROutput> staying;
    for (int i = 0; i < crtc->noutput; ++i)
        if (crtc->outputs[i] != RROutput(display)) staying.push_back(crtc->outputs[i]);
    if (!staying.empty()) {
        target = 0;
        OutputInfoPtr info(XRRGetOutputInfo(dpy, res.get(), RROutput(display)));
        for (int i = 0; info && i < info->ncrtc && !target; ++i) {
            CrtcInfoPtr candidate(XRRGetCrtcInfo(dpy, res.get(), info->crtcs[i]));
            if (candidate && candidate->noutput == 0) target = info->crtcs[i];
        }
        if (!target)
            return finish(displayError(3, QStringLiteral("no free CRTC for display %1").arg(display)));
    }

    const int screen = DefaultScreen(dpy);
    const QSize current(DisplayWidth(dpy, screen), DisplayHeight(dpy, screen));
    const auto setScreenSize = [&](QSize px) {
        // Keep the physical size in proportion, so the resolution in dots per inch stays.
        const int mmW =
            std::max(1, int(qint64(px.width()) * DisplayWidthMM(dpy, screen) / std::max(1, current.width())));
        const int mmH = std::max(
            1, int(qint64(px.height()) * DisplayHeightMM(dpy, screen) / std::max(1, current.height())));
        XRRSetScreenSize(dpy, root, std::max(px.width(), minW), std::max(px.height(), minH), mmW, mmH);
    };
    const QSize grown = current.expandedTo(desktop);
    if (grown != current) setScreenSize(grown);

    Status status = RRSetConfigSuccess;
    if (!staying.empty())
        status = XRRSetCrtcConfig(dpy, res.get(), crtcId, CurrentTime, crtc->x, crtc->y, crtc->mode,
                                  crtc->rotation, staying.data(), int(staying.size()));
    RROutput output = RROutput(display);
    if (status == RRSetConfigSuccess)
        status = XRRSetCrtcConfig(dpy, res.get(), target, CurrentTime, origin.x(), origin.y(), mode,
                                  crtc->rotation, &output, 1);
    if (status == RRSetConfigSuccess && desktop != grown) setScreenSize(desktop);
    if (status != RRSetConfigSuccess)
        return finish(
            displayError(4, QStringLiteral("the server refused the configuration (status %1)").arg(status)));
    return finish(std::nullopt);
}

std::unique_ptr<X11DisplayServices> X11DisplayServices::open(const QString& displayName, OptError* error) {
    auto impl = std::make_unique<Impl>();
    impl->dpy = openXDisplay(displayName);
    if (!impl->dpy) {
        if (error) *error = displayError(5, QStringLiteral("cannot open display \"%1\"").arg(displayName));
        return nullptr;
    }
    int errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(impl->dpy, &impl->eventBase, &errorBase) ||
        !XRRQueryVersion(impl->dpy, &major, &minor) || major < 1 || (major == 1 && minor < 2)) {
        if (error) *error = displayError(6, QStringLiteral("the display has no RandR 1.2"));
        return nullptr;
    }
    impl->root = DefaultRootWindow(impl->dpy);
    impl->edidAtom = XInternAtom(impl->dpy, "EDID", False);
    impl->nonDesktopAtom = XInternAtom(impl->dpy, "non-desktop", False);
    XRRSelectInput(impl->dpy, impl->root,
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    impl->last = impl->read().config;
    Impl* raw = impl.get();
    impl->notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(impl->dpy), QSocketNotifier::Read);
    QObject::connect(impl->notifier.get(), &QSocketNotifier::activated, [raw] { raw->processEvents(); });
    return std::unique_ptr<X11DisplayServices>(new X11DisplayServices(std::move(impl)));
}

X11DisplayServices::X11DisplayServices(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

X11DisplayServices::~X11DisplayServices() = default;

std::vector<DisplayID> X11DisplayServices::onlineDisplayList(uint32_t maxDisplays) const {
    std::vector<DisplayID> ids;
    for (const DisplayState& state : d->read().config.displays) {
        if (ids.size() >= maxDisplays) break;
        ids.push_back(state.id);
    }
    return ids;
}

DisplayID X11DisplayServices::mainDisplayID() const {
    return d->read().config.mainDisplay();
}

QRectF X11DisplayServices::bounds(DisplayID display) const {
    const Impl::Snapshot snapshot = d->read();
    const DisplayState* state = snapshot.config.find(display);
    return state ? QRectF(state->bounds) : QRectF();
}

std::vector<DisplayScreen> X11DisplayServices::screens() const {
    const DisplayConfiguration config = d->read().config;
    std::vector<DisplayScreen> result;
    if (config.displays.empty()) return result;
    const QRect main = config.displays.front().bounds;
    const int bottom = main.y() + main.height();
    for (const DisplayState& state : config.displays) {
        if (config.mirrorsDisplay(state.id) != kNullDisplayID) continue;
        const QRect& b = state.bounds;
        result.push_back({state.id, QRectF(b.x(), bottom - (b.y() + b.height()), b.width(), b.height())});
    }
    return result;
}

QString X11DisplayServices::productName(DisplayID display) const {
    const auto info = d->edid(display);
    return info && !info->productName.isEmpty() ? info->productName : QString();
}

uint32_t X11DisplayServices::modelNumber(DisplayID display) const {
    const auto info = d->edid(display);
    return info ? info->productCode : 0;
}

uint32_t X11DisplayServices::serialNumber(DisplayID display) const {
    const auto info = d->edid(display);
    return info ? info->serialNumber : 0;
}

DisplayID X11DisplayServices::mirrorsDisplay(DisplayID display) const {
    return d->read().config.mirrorsDisplay(display);
}

OptError X11DisplayServices::configureDisplayMirrorOfDisplay(DisplayID display, DisplayID master) {
    const DisplayConfiguration config = d->read().config;
    if (!config.find(display))
        return displayError(1, QStringLiteral("display %1 is not online").arg(display));
    if (master == kNullDisplayID) {
        const auto origin = unmirrorOrigin(config, display);
        // Not in a mirror set: there is nothing to change, and no change event may follow.
        return origin ? d->move(display, *origin, std::nullopt) : std::nullopt;
    }
    const DisplayState* masterState = config.find(master);
    if (!masterState || master == display)
        return displayError(1, QStringLiteral("display %1 cannot be mirrored").arg(master));
    if (config.mirrorsDisplay(display) == master) return std::nullopt;
    return d->move(display, masterState->bounds.topLeft(), masterState->bounds.size());
}

DisplayServices::CallbackId
X11DisplayServices::registerReconfigurationCallback(ReconfigurationCallback callback) {
    const CallbackId id = d->nextId++;
    d->callbacks.emplace(id, std::move(callback));
    return id;
}

void X11DisplayServices::removeReconfigurationCallback(CallbackId id) {
    d->callbacks.erase(id);
}

void X11DisplayServices::processEvents() {
    d->processEvents();
}
