#include "platform/x11/X11Workspace.h"

#include "base/Logging.h"
#include "platform/x11/XConnection.h"

#include <QSocketNotifier>
#include <QTimer>

#include <climits>
#include <unistd.h>

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

// Identifiers, window classes and host names are short; a client that writes more is not believed.
constexpr long kMaxTextLongs = 256;

struct XFreeDeleter {
    void operator()(unsigned char* p) const {
        if (p) XFree(p);
    }
};

// Control characters have no place in a name shown or compared.
QString printable(QString text) {
    text.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
    return text;
}

bool sameHost(const QString& a, const QString& b) {
    if (a.compare(b, Qt::CaseInsensitive) == 0) return true;
    // One side may give the fully qualified name, the other the short one.
    const QString& shorter = a.size() < b.size() ? a : b;
    const QString& longer = a.size() < b.size() ? b : a;
    return !shorter.isEmpty() && longer.startsWith(shorter, Qt::CaseInsensitive) &&
           longer[shorter.size()] == u'.';
}

} // namespace

struct X11Workspace::Impl {
    explicit Impl(DesktopEntries e) : entries(std::move(e)) {}
    ~Impl() {
        notifier.reset();
        if (dpy) XCloseDisplay(dpy);
    }

    Display* dpy = nullptr;
    Window root = 0;
    Atom activeWindowAtom = 0, gtkApplicationIdAtom = 0, kdeDesktopFileAtom = 0, pidAtom = 0, utf8Atom = 0;
    QString hostName;
    DesktopEntries entries;
    std::unique_ptr<QSocketNotifier> notifier;
    bool queuedEventsScheduled = false;
    FrontmostApplicationInfo last;
    std::function<void()> handler;

    // The first 32-bit item of a property of that type; none when it is missing or of another shape.
    std::optional<unsigned long> item32(Window window, Atom name, Atom type) const {
        Atom actualType = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* raw = nullptr;
        const int status = XGetWindowProperty(dpy, window, name, 0, 1, False, type, &actualType, &format,
                                              &count, &after, &raw);
        const std::unique_ptr<unsigned char, XFreeDeleter> data(raw);
        if (status != Success || actualType != type || format != 32 || count < 1 || !data)
            return std::nullopt;
        // Xlib hands 32-bit items over as longs.
        return static_cast<unsigned long>(*reinterpret_cast<const long*>(data.get()));
    }

    // A text property, in Latin-1 (STRING) or UTF-8; none when it is missing, of another type, or
    // longer than any sane one.
    std::optional<QStringList> texts(Window window, Atom name) const {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* raw = nullptr;
        const int status = XGetWindowProperty(dpy, window, name, 0, kMaxTextLongs, False, AnyPropertyType,
                                              &type, &format, &count, &after, &raw);
        const std::unique_ptr<unsigned char, XFreeDeleter> data(raw);
        if (status != Success || format != 8 || after > 0 || !data) return std::nullopt;
        if (type != XA_STRING && type != utf8Atom) return std::nullopt;
        // Several strings are kept one after the other, each ended by a NUL.
        QStringList parts;
        for (const QByteArray& part :
             QByteArray(reinterpret_cast<const char*>(data.get()), qsizetype(count)).split('\0'))
            parts << printable(type == XA_STRING ? QString::fromLatin1(part) : QString::fromUtf8(part));
        return parts;
    }

    QString text(Window window, Atom name) const {
        const std::optional<QStringList> parts = texts(window, name);
        return parts ? parts->first() : QString();
    }

    WindowIdentity identityOf(Window window) const {
        WindowIdentity identity;
        identity.applicationId = text(window, gtkApplicationIdAtom);
        if (identity.applicationId.isEmpty()) identity.applicationId = text(window, kdeDesktopFileAtom);
        if (const std::optional<QStringList> wmClass = texts(window, XA_WM_CLASS)) {
            identity.instanceName = wmClass->value(0);
            identity.className = wmClass->value(1);
        }
        // A process id means something only on the machine the client runs on; a remote client's
        // would name some unrelated local process.
        const std::optional<unsigned long> pid = item32(window, pidAtom, XA_CARDINAL);
        const QString machine = text(window, XA_WM_CLIENT_MACHINE);
        if (pid && *pid > 0 && *pid <= INT_MAX && (machine.isEmpty() || sameHost(machine, hostName)))
            identity.executables = DesktopEntries::executableNames(pid_t(*pid));
        return identity;
    }

    FrontmostApplicationInfo current() {
        if (!dpy) return {};
        std::optional<WindowIdentity> identity;
        {
            XErrorTrap trap(dpy);
            const std::optional<unsigned long> active = item32(root, activeWindowAtom, XA_WINDOW);
            if (active && *active != 0) identity = identityOf(Window(*active));
            // A window that went while it was read says nothing; the window manager names the next.
            if (trap.sync()) identity.reset();
        }
        scheduleQueuedEvents();
        return identity ? entries.applicationOf(*identity) : FrontmostApplicationInfo{};
    }

    void processEvents() {
        queuedEventsScheduled = false;
        bool activeChanged = false;
        while (XPending(dpy) > 0) {
            XEvent event;
            XNextEvent(dpy, &event);
            if (event.type == PropertyNotify && event.xproperty.window == root &&
                event.xproperty.atom == activeWindowAtom)
                activeChanged = true;
        }
        // Several changes read at once count as one: back to where it was is no change.
        if (!activeChanged) return;
        FrontmostApplicationInfo now = current();
        if (now == last) return;
        last = std::move(now);
        qCDebug(lcPlatform) << "in front:" << last.bundleIdentifier << last.localizedName;
        if (handler) {
            // The handler may replace itself.
            const std::function<void()> call = handler;
            call();
        }
    }

    // Replies read for our own requests may have brought events along; the socket will not wake the
    // notifier for those, so look at them on the next turn of the loop.
    void scheduleQueuedEvents() {
        if (queuedEventsScheduled || !notifier || XEventsQueued(dpy, QueuedAlready) == 0) return;
        queuedEventsScheduled = true;
        QTimer::singleShot(0, notifier.get(), [this] { processEvents(); });
    }
};

X11Workspace::X11Workspace(QString runtimeDirectory, QString xDisplayName, DesktopEntries entries)
    : LinuxWorkspace(std::move(runtimeDirectory)), d(std::make_unique<Impl>(std::move(entries))) {
    d->dpy = openXDisplay(xDisplayName);
    if (!d->dpy) {
        qCWarning(lcPlatform, "no X display: the application in front is unknown, profiles stay general");
        return;
    }
    d->root = DefaultRootWindow(d->dpy);
    char* names[] = {const_cast<char*>("_NET_ACTIVE_WINDOW"), const_cast<char*>("_GTK_APPLICATION_ID"),
                     const_cast<char*>("_KDE_NET_WM_DESKTOP_FILE"), const_cast<char*>("_NET_WM_PID"),
                     const_cast<char*>("UTF8_STRING")};
    Atom atoms[std::size(names)] = {};
    XInternAtoms(d->dpy, names, int(std::size(names)), False, atoms);
    d->activeWindowAtom = atoms[0];
    d->gtkApplicationIdAtom = atoms[1];
    d->kdeDesktopFileAtom = atoms[2];
    d->pidAtom = atoms[3];
    d->utf8Atom = atoms[4];
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) == 0) d->hostName = QString::fromLocal8Bit(host);

    XSelectInput(d->dpy, d->root, PropertyChangeMask);
    Impl* raw = d.get();
    d->notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(d->dpy), QSocketNotifier::Read);
    QObject::connect(d->notifier.get(), &QSocketNotifier::activated, d->notifier.get(),
                     [raw] { raw->processEvents(); });
    d->last = d->current();
}

X11Workspace::~X11Workspace() = default;

FrontmostApplicationInfo X11Workspace::frontmostApplication() {
    return d->current();
}

void X11Workspace::setFrontmostApplicationChangedHandler(std::function<void()> handler) {
    d->handler = std::move(handler);
}
