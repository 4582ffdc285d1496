#include "platform/x11/X11EventPoster.h"

#include "base/Logging.h"
#include "platform/linux/PenTablet.h"
#include "platform/x11/KeyPositions.h"
#include "platform/x11/XConnection.h"

#include <QPoint>
#include <QSize>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cmath>
#include <set>
#include <vector>

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

namespace {

OptError posterError(int code, const QString& text) {
    return Error::make(QStringLiteral("X11EventPoster"), code, text);
}

bool isLeftButtonType(int32_t type) {
    return type == EventType::kLeftMouseDown || type == EventType::kLeftMouseUp ||
           type == EventType::kLeftMouseDragged;
}

bool isMouseType(int32_t type) {
    switch (type) {
    case EventType::kLeftMouseDown:
    case EventType::kLeftMouseUp:
    case EventType::kRightMouseDown:
    case EventType::kRightMouseUp:
    case EventType::kMouseMoved:
    case EventType::kLeftMouseDragged:
    case EventType::kRightMouseDragged:
    case EventType::kOtherMouseDown:
    case EventType::kOtherMouseUp:
    case EventType::kOtherMouseDragged:
        return true;
    default:
        return false;
    }
}

// The X button of a button event: 1 left, 3 right, 2 the middle one; the Mac's back and forward
// buttons (3 and 4) are X's 8 and 9.
unsigned xButton(const Event& event) {
    switch (event.type) {
    case EventType::kLeftMouseDown:
    case EventType::kLeftMouseUp:
        return 1;
    case EventType::kRightMouseDown:
    case EventType::kRightMouseUp:
        return 3;
    default:
        return event.mouseButton == 3 || event.mouseButton == 4 ? unsigned(event.mouseButton) + 5 : 2;
    }
}

// The modifier a key stands for while it is held by itself, as a flag mask; 0 for other keys.
uint64_t modifierMask(uint16_t macKeyCode) {
    switch (macKeyCode) {
    case 54:
    case 55:
        return EventFlag::kMaskCommand;
    case 56:
    case 60:
        return EventFlag::kMaskShift;
    case 58:
    case 61:
        return EventFlag::kMaskAlternate;
    case 59:
    case 62:
        return EventFlag::kMaskControl;
    default:
        return 0;
    }
}

// The keys that carry the modifiers of `flags`, in the order they go down. Command and Control are
// both the Control key (KeyPositions.h); the device-dependent low bits say nothing more.
std::vector<unsigned> modifierKeys(uint64_t flags) {
    std::vector<unsigned> keys;
    const auto add = [&](uint16_t macKey) {
        const unsigned key = *xKeycodeForMacKey(macKey);
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    };
    if (flags & (EventFlag::kMaskCommand | EventFlag::kMaskControl)) add(59);
    if (flags & EventFlag::kMaskAlternate) add(58);
    if (flags & EventFlag::kMaskShift) add(56);
    return keys;
}

double finiteOr0(double v) {
    return std::isfinite(v) ? v : 0.0;
}

// The root pixel of a global location on a root of `rootSize`, limited to the root; none for a
// location that is no number or lies beyond the integers.
std::optional<QPoint> rootPixel(QPointF location, QSize rootSize) {
    const double x = std::floor(location.x()), y = std::floor(location.y());
    // NaN fails both comparisons; an infinity or a huge value has no integer to become.
    const auto inIntRange = [](double v) { return v >= double(INT_MIN) && v <= double(INT_MAX); };
    if (!inIntRange(x) || !inIntRange(y)) return std::nullopt;
    // The X protocol carries 16-bit coordinates: an unlimited value would wrap to the other side.
    return QPoint(std::clamp(int(x), 0, std::max(0, rootSize.width() - 1)),
                  std::clamp(int(y), 0, std::max(0, rootSize.height() - 1)));
}

} // namespace

struct X11EventPoster::Impl {
    ::Display* dpy = nullptr;
    Window root = 0;
    DisplayServices* displays = nullptr;
    DisplayServices::CallbackId displaysCallback = 0;
    std::optional<double> mainBottom;
    PenTablet* pen = nullptr;
    int xiOpcode = -1;
    Atom matrixAtom = 0;
    Atom floatAtom = 0;
    QSize rootSize;
    std::unique_ptr<QSocketNotifier> notifier;

    std::set<unsigned> heldButtons;
    std::set<unsigned> heldKeys;
    double wheelRemainder[2] = {0, 0};
    bool penNear = false;
    PenSample penLast;

    ~Impl() {
        notifier.reset();
        if (displays && displaysCallback) displays->removeReconfigurationCallback(displaysCallback);
        if (dpy) XCloseDisplay(dpy);
    }

    // --- pointer -------------------------------------------------------------------------------

    bool moveTo(QPointF location) {
        const auto pixel = rootPixel(location, rootSize);
        if (!pixel) return false;
        XTestFakeMotionEvent(dpy, DefaultScreen(dpy), pixel->x(), pixel->y(), CurrentTime);
        return true;
    }

    // XTest's button and key requests have one shape: what is held is pressed once and let go once.
    using FakeInput = int (*)(::Display*, unsigned, Bool, unsigned long);
    void change(std::set<unsigned>& held, FakeInput fake, unsigned code, bool down) {
        if (down ? !held.insert(code).second : held.erase(code) == 0) return;
        fake(dpy, code, down, CurrentTime);
    }
    void press(unsigned button) { change(heldButtons, XTestFakeButtonEvent, button, true); }
    void release(unsigned button) { change(heldButtons, XTestFakeButtonEvent, button, false); }

    void click(unsigned button, int times) {
        for (int i = 0; i < times; ++i) {
            XTestFakeButtonEvent(dpy, button, True, CurrentTime);
            XTestFakeButtonEvent(dpy, button, False, CurrentTime);
        }
    }

    void scroll(const Event& event) {
        // Wheel 1 is vertical, positive up; wheel 2 horizontal, positive left: X's buttons 4/5 and 6/7.
        static constexpr unsigned kButtons[2][2] = {{4, 5}, {6, 7}};
        const int wheels = std::clamp(event.wheelCount, 0, 2);
        for (int axis = 0; axis < wheels; ++axis) {
            double clicks = 0;
            if (event.scrollUnits == Event::kScrollUnitLine) {
                clicks = event.wheels[axis];
            } else {
                wheelRemainder[axis] += event.wheels[axis];
                clicks = std::trunc(wheelRemainder[axis] / kPixelsPerWheelClick);
                wheelRemainder[axis] -= clicks * kPixelsPerWheelClick;
            }
            if (std::abs(clicks) > kMaxWheelClicksPerEvent) {
                clicks = std::copysign(kMaxWheelClicksPerEvent, clicks);
                wheelRemainder[axis] = 0;
            }
            click(kButtons[axis][clicks > 0 ? 0 : 1], int(std::abs(clicks)));
        }
    }

    void postPointer(const Event& event) {
        switch (event.type) {
        case EventType::kMouseMoved:
        case EventType::kLeftMouseDragged:
        case EventType::kRightMouseDragged:
        case EventType::kOtherMouseDragged:
        case EventType::kTabletPointer:
            moveTo(event.location);
            break;
        case EventType::kLeftMouseDown:
        case EventType::kRightMouseDown:
        case EventType::kOtherMouseDown:
            if (moveTo(event.location)) press(xButton(event));
            break;
        case EventType::kLeftMouseUp:
        case EventType::kRightMouseUp:
        case EventType::kOtherMouseUp:
            // An up whose place is no number still lets go, where the pointer is: dropping it would
            // leave the button held.
            moveTo(event.location);
            release(xButton(event));
            break;
        default:
            break;
        }
    }

    // --- keys ----------------------------------------------------------------------------------

    void pressKey(unsigned key) { change(heldKeys, XTestFakeKeyEvent, key, true); }
    void releaseKey(unsigned key) { change(heldKeys, XTestFakeKeyEvent, key, false); }

    bool capsLocked() {
        XkbStateRec state{};
        return XkbGetState(dpy, XkbUseCoreKbd, &state) == Success && (state.locked_mods & LockMask);
    }

    // Whether anything was asked of the server.
    bool postKey(const Event& event) {
        const auto key = xKeycodeForMacKey(event.keyCode);
        if (!key) return false;
        const uint64_t mask = modifierMask(event.keyCode);
        if (mask) {
            // A modifier key by itself stays down until its up (or a flags change without it).
            const bool down = event.type == EventType::kKeyDown ||
                              (event.type == EventType::kFlagsChanged && (event.flags & mask));
            if (down == heldKeys.contains(*key)) return false;
            if (down)
                pressKey(*key);
            else
                releaseKey(*key);
            return true;
        }
        if (event.type != EventType::kKeyDown) return false;
        std::vector<unsigned> pressedHere;
        for (const unsigned modifier : modifierKeys(event.flags))
            if (!heldKeys.contains(modifier)) {
                pressKey(modifier);
                pressedHere.push_back(modifier);
            }
        // Caps Lock in the flags is the lock for this keystroke alone: pressing the Caps Lock key would
        // leave it on for the user's own typing.
        const bool lock = (event.flags & EventFlag::kMaskAlphaShift) && !capsLocked();
        if (lock) XkbLockModifiers(dpy, XkbUseCoreKbd, LockMask, LockMask);
        XTestFakeKeyEvent(dpy, *key, True, CurrentTime);
        XTestFakeKeyEvent(dpy, *key, False, CurrentTime);
        if (lock) XkbLockModifiers(dpy, XkbUseCoreKbd, LockMask, 0);
        for (auto it = pressedHere.rbegin(); it != pressedHere.rend(); ++it)
            releaseKey(*it);
        return true;
    }

    // --- pen -----------------------------------------------------------------------------------

    static bool isTabletEvent(const Event& event) {
        if (event.type == EventType::kTabletPointer || event.type == EventType::kTabletProximity) return true;
        const int64_t subtype = event.integerField(EventField::kMouseEventSubtype);
        return (event.type == EventType::kMouseMoved || isLeftButtonType(event.type)) &&
               (subtype == kEventSubtypeTabletPoint || subtype == kEventSubtypeTabletProximity);
    }

    void penProximityOut() {
        if (!penNear) return;
        if (penLast.tip) {
            penLast.tip = false;
            penLast.pressure = 0;
            pen->move(penLast);
        }
        pen->proximityOut();
        penNear = false;
    }

    void postToPen(const Event& event) {
        const bool proximity =
            event.type == EventType::kTabletProximity ||
            event.integerField(EventField::kMouseEventSubtype) == kEventSubtypeTabletProximity;
        const auto pixel = rootPixel(event.location, rootSize);
        if (proximity) {
            if (event.integerField(EventField::kTabletProximityEventEnterProximity) == 0) {
                penProximityOut();
            } else if (!penNear && pixel) {
                penLast = PenSample{QPointF(*pixel), 0, 0, 0, false};
                pen->proximityIn(penLast);
                penNear = true;
            }
            return;
        }
        const bool up = event.type == EventType::kLeftMouseUp;
        // A lift whose place is no number still lifts, where the pen is.
        if (!pixel && !up) return;
        PenSample sample = penLast;
        if (pixel) sample.position = QPointF(*pixel);
        if (up) {
            if (!penNear) return;
            sample.tip = false;
        } else {
            if (event.type == EventType::kLeftMouseDown) sample.tip = true;
            const QPointF tilt = tiltDegrees(event.doubleField(EventField::kTabletEventTiltX),
                                             event.doubleField(EventField::kTabletEventTiltY));
            sample.tiltX = tilt.x();
            sample.tiltY = tilt.y();
        }
        const auto& doubles = event.doubleFields;
        const double pressure = doubles.contains(EventField::kTabletEventPointPressure)
                                    ? event.doubleField(EventField::kTabletEventPointPressure)
                                    : event.doubleField(EventField::kMouseEventPressure);
        // Pressure is contact: a pen in the air presses nothing.
        sample.pressure = sample.tip ? std::clamp(finiteOr0(pressure), 0.0, 1.0) : 0.0;
        if (!penNear) {
            PenSample hover = sample;
            hover.tip = false;
            hover.pressure = 0;
            pen->proximityIn(hover);
            penNear = true;
        }
        pen->move(sample);
        penLast = sample;
    }

    // Positions reach the pen in root pixels only when the X device keeps them: its transformation
    // matrix (which a desktop may have set to fit one display) must be the identity. `added`: only
    // these devices, else every one there is.
    void configurePenDevice(const std::set<int>* added = nullptr) {
        if (!pen || xiOpcode < 0) return;
        const QByteArray prefix = pen->deviceName().toUtf8();
        if (prefix.isEmpty()) return;
        int count = 0;
        XIDeviceInfo* devices = XIQueryDevice(dpy, XIAllDevices, &count);
        float identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        for (int i = 0; i < count; ++i) {
            const XIDeviceInfo& device = devices[i];
            if (device.use != XISlavePointer && device.use != XIFloatingSlave) continue;
            if (added && !added->contains(device.deviceid)) continue;
            // The X drivers name a tablet's tools after the device ("<name> Pen (0)", "<name> stylus").
            if (!QByteArray(device.name).startsWith(prefix)) continue;
            XIChangeProperty(dpy, device.deviceid, matrixAtom, floatAtom, 32, PropModeReplace,
                             reinterpret_cast<unsigned char*>(identity), 9);
            qCDebug(lcPlatform, "pen device \"%s\" maps the root window", device.name);
        }
        if (devices) XIFreeDeviceInfo(devices);
        XFlush(dpy);
    }

    // --- the connection's events ---------------------------------------------------------------

    void processEvents() {
        while (XPending(dpy) > 0) {
            XEvent event;
            XNextEvent(dpy, &event);
            if (event.type == ConfigureNotify && event.xconfigure.window == root) {
                const QSize size(event.xconfigure.width, event.xconfigure.height);
                if (size != rootSize) {
                    rootSize = size;
                    if (pen) pen->setArea(rootSize);
                }
            } else if (event.type == GenericEvent && event.xcookie.extension == xiOpcode &&
                       XGetEventData(dpy, &event.xcookie)) {
                if (event.xcookie.evtype == XI_HierarchyChanged) {
                    const auto* change = static_cast<const XIHierarchyEvent*>(event.xcookie.data);
                    std::set<int> added;
                    for (int i = 0; i < change->num_info; ++i)
                        if (change->info[i].flags & (XISlaveAdded | XIDeviceEnabled))
                            added.insert(change->info[i].deviceid);
                    if (!added.empty()) configurePenDevice(&added);
                }
                XFreeEventData(dpy, &event.xcookie);
            }
        }
        scheduleQueuedEvents();
    }

    // Replies read for our own requests may have brought events along; the socket will not wake the
    // notifier for those, so look at them on the next turn of the loop.
    void scheduleQueuedEvents() {
        if (notifier && XEventsQueued(dpy, QueuedAlready) > 0)
            QTimer::singleShot(0, notifier.get(), [this] { processEvents(); });
    }

    QPoint pointer() {
        Window rootReturn = 0, child = 0;
        int rootX = 0, rootY = 0, winX = 0, winY = 0;
        unsigned mask = 0;
        XQueryPointer(dpy, root, &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask);
        scheduleQueuedEvents();
        return QPoint(rootX, rootY);
    }

    double bottomEdge() {
        if (!mainBottom) {
            const QRectF main = displays->bounds(displays->mainDisplayID());
            mainBottom = main.isEmpty() ? double(rootSize.height()) : main.y() + main.height();
        }
        return *mainBottom;
    }
};

QPointF X11EventPoster::tiltDegrees(double tiltX, double tiltY) {
    // The fields are the pen's unit direction seen from above; its height above the tablet is what
    // is left of the unit length, and each axis's angle from the vertical follows from the two.
    const double x = std::clamp(finiteOr0(tiltX), -1.0, 1.0);
    // The fields count y upwards, the tablet axes of the desktop downwards.
    const double y = -std::clamp(finiteOr0(tiltY), -1.0, 1.0);
    // A pen lying flat has no angle across its own line; the floor keeps rounding noise in the
    // other field from being read as one.
    const double z = std::max(1e-9, std::sqrt(std::max(0.0, 1.0 - x * x - y * y)));
    constexpr double kDegrees = 180.0 / M_PI;
    return QPointF(std::atan2(x, z) * kDegrees, std::atan2(y, z) * kDegrees);
}

std::unique_ptr<X11EventPoster> X11EventPoster::open(DisplayServices& displays, PenTablet* pen,
                                                     const QString& displayName, OptError* error) {
    auto impl = std::make_unique<Impl>();
    impl->dpy = openXDisplay(displayName);
    if (!impl->dpy) {
        if (error) *error = posterError(1, QStringLiteral("cannot open display \"%1\"").arg(displayName));
        return nullptr;
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(impl->dpy, &eventBase, &errorBase, &major, &minor)) {
        if (error)
            *error = posterError(2, QStringLiteral("the X server has no XTEST: no input can be posted"));
        return nullptr;
    }
    impl->root = DefaultRootWindow(impl->dpy);
    impl->displays = &displays;
    impl->pen = pen;
    const int screen = DefaultScreen(impl->dpy);
    impl->rootSize = QSize(DisplayWidth(impl->dpy, screen), DisplayHeight(impl->dpy, screen));
    XSelectInput(impl->dpy, impl->root, StructureNotifyMask);
    // The pen maps over the root as it is now, and follows it when it changes size.
    if (pen) pen->setArea(impl->rootSize);

    Impl* raw = impl.get();
    impl->displaysCallback =
        displays.registerReconfigurationCallback([raw](DisplayID, uint32_t) { raw->mainBottom.reset(); });
    if (pen) {
        int xiEvent = 0, xiError = 0, xiMajor = 2, xiMinor = 0;
        if (XQueryExtension(impl->dpy, "XInputExtension", &impl->xiOpcode, &xiEvent, &xiError) &&
            XIQueryVersion(impl->dpy, &xiMajor, &xiMinor) == Success) {
            unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
            XISetMask(bits, XI_HierarchyChanged);
            XIEventMask mask{XIAllDevices, int(sizeof bits), bits};
            XISelectEvents(impl->dpy, impl->root, &mask, 1);
            impl->matrixAtom = XInternAtom(impl->dpy, "Coordinate Transformation Matrix", False);
            impl->floatAtom = XInternAtom(impl->dpy, "FLOAT", False);
            impl->configurePenDevice();
        } else {
            impl->xiOpcode = -1;
            qCWarning(lcPlatform, "the X server has no XInput 2: the pen's device keeps its own mapping");
        }
        pen->setArea(impl->rootSize);
    }
    XFlush(impl->dpy);
    impl->notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(impl->dpy), QSocketNotifier::Read);
    QObject::connect(impl->notifier.get(), &QSocketNotifier::activated, [raw] { raw->processEvents(); });
    return std::unique_ptr<X11EventPoster>(new X11EventPoster(std::move(impl)));
}

X11EventPoster::X11EventPoster(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

X11EventPoster::~X11EventPoster() {
    releaseHeldInput();
}

void X11EventPoster::post(const Event& event, int32_t /*tap: one way in on X*/) {
    if (d->pen && Impl::isTabletEvent(event)) {
        d->postToPen(event);
    } else if (isMouseType(event.type) || event.type == EventType::kTabletPointer) {
        d->postPointer(event);
    } else if (event.type == EventType::kScrollWheel) {
        d->scroll(event);
    } else if (event.type == EventType::kKeyDown || event.type == EventType::kKeyUp ||
               event.type == EventType::kFlagsChanged) {
        // The modifier ups that follow a keystroke mostly find nothing held: no flush then, whose read
        // of the connection would be most of their cost.
        if (!d->postKey(event)) return;
    }
    // Proximity without a pen has nothing to show; null events post nothing.
    XFlush(d->dpy);
}

void X11EventPoster::warpMouseCursorPosition(QPointF location) {
    const auto pixel = rootPixel(location, d->rootSize);
    if (!pixel) return;
    XWarpPointer(d->dpy, 0, d->root, 0, 0, 0, 0, pixel->x(), pixel->y());
    XFlush(d->dpy);
}

void X11EventPoster::associateMouseAndMouseCursorPosition(bool) {
    // X moves the cursor with the pointer always; a warp needs nothing detached.
}

QPointF X11EventPoster::mouseLocation() const {
    const QPoint p = d->pointer();
    return QPointF(p.x(), d->bottomEdge() - p.y());
}

QPointF X11EventPoster::nullEventLocation() const {
    return QPointF(d->pointer());
}

void X11EventPoster::releaseHeldInput() {
    for (const unsigned key : std::set<unsigned>(d->heldKeys))
        d->releaseKey(key);
    for (const unsigned button : std::set<unsigned>(d->heldButtons))
        d->release(button);
    if (d->pen) d->penProximityOut();
    d->wheelRemainder[0] = d->wheelRemainder[1] = 0;
    XFlush(d->dpy);
}

void X11EventPoster::processEvents() {
    d->processEvents();
}
