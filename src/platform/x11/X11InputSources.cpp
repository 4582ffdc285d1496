#include "platform/x11/X11InputSources.h"

#include "platform/x11/KeyPositions.h"
#include "platform/x11/XConnection.h"
#include "platform/x11/XkbLayout.h"

#include <QByteArrayList>

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

// The configured layouts and their variants, group by group, as the layout tools record them on the
// root window ("evdev", "pc105", "us,de", ",nodeadkeys", "").
struct Groups {
    QStringList layouts, variants;
};

Groups configuredGroups(Display* display) {
    Groups groups;
    const Atom names = XInternAtom(display, "_XKB_RULES_NAMES", True);
    if (names == 0) return groups;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    // A few hundred bytes at most; more is not a layout list.
    if (XGetWindowProperty(display, DefaultRootWindow(display), names, 0, 1024, False, XA_STRING, &type,
                           &format, &count, &after, &data) != Success ||
        !data)
        return groups;
    const QByteArrayList fields =
        format == 8 ? QByteArray(reinterpret_cast<const char*>(data), qsizetype(count)).split('\0')
                    : QByteArrayList();
    XFree(data);
    if (fields.size() < 4) return groups;
    groups.layouts = QString::fromUtf8(fields[2]).split(u',');
    groups.variants = QString::fromUtf8(fields[3]).split(u',');
    // XKB has four groups at the most; the rest of a longer list never becomes one.
    groups.layouts = groups.layouts.mid(0, XkbNumKbdGroups);
    while (groups.variants.size() < groups.layouts.size())
        groups.variants << QString();
    return groups;
}

} // namespace

X11InputSources::X11InputSources(const QString& displayName) {
    display_ = openXDisplay(displayName);
    if (display_) layout_ = std::make_unique<XkbLayout>(display_);
}

X11InputSources::~X11InputSources() {
    layout_.reset();
    if (display_) XCloseDisplay(display_);
}

bool X11InputSources::hasCurrentKeyLayout() {
    if (!layout_) return false;
    layout_->catchUp();
    return layout_->valid();
}

std::optional<QString> X11InputSources::translateKeyCode(uint16_t keyCode) {
    if (!layout_) return std::nullopt;
    // Nothing else is read here, so the layout's notices are taken as questions come: a switch of
    // layout has reached the connection by the time the program that made it is done.
    layout_->catchUp();
    const auto key = xKeycodeForMacKey(keyCode);
    return key ? layout_->characters(*key) : std::nullopt;
}

QString X11InputSources::sourceIDForLayout(const QString& layout, const QString& variant) {
    static const struct {
        const char *layout, *variant, *source;
    } kKnown[] = {
        {"us", "", "com.apple.keylayout.US"},
        {"us", "intl", "com.apple.keylayout.USInternational-PC"},
        {"gb", "", "com.apple.keylayout.British"},
        {"au", "", "com.apple.keylayout.Australian"},
        {"ca", "eng", "com.apple.keylayout.Canadian"},
        {"ie", "", "com.apple.keylayout.Irish"},
        {"jp", "", "com.apple.inputmethod.Kotoeri.Japanese"},
        {"kr", "", "com.apple.inputmethod.Korean.2SetKorean"},
    };
    for (const auto& known : kKnown)
        if (layout == QLatin1String(known.layout) && variant == QLatin1String(known.variant))
            return QString::fromLatin1(known.source);
    return variant.isEmpty() ? QStringLiteral("xkb:%1").arg(layout)
                             : QStringLiteral("xkb:%1(%2)").arg(layout, variant);
}

int X11InputSources::currentGroup() {
    XkbStateRec state{};
    if (!display_ || XkbGetState(display_, XkbUseCoreKbd, &state) != Success) return -1;
    return state.locked_group;
}

QString X11InputSources::currentKeyboardInputSourceID() {
    if (!display_) return {};
    const Groups groups = configuredGroups(display_);
    const int group = currentGroup();
    if (group < 0 || group >= groups.layouts.size()) return {};
    return sourceIDForLayout(groups.layouts[group], groups.variants[group]);
}

QStringList X11InputSources::enabledInputSourceIDs() {
    if (!display_) return {};
    const Groups groups = configuredGroups(display_);
    QStringList sources;
    for (qsizetype i = 0; i < groups.layouts.size(); ++i)
        sources << sourceIDForLayout(groups.layouts[i], groups.variants[i]);
    return sources;
}

bool X11InputSources::selectInputSource(const QString& sourceID) {
    if (!display_) return false;
    const qsizetype group = enabledInputSourceIDs().indexOf(sourceID);
    if (group < 0) return false;
    if (!XkbLockGroup(display_, XkbUseCoreKbd, unsigned(group))) return false;
    XSync(display_, False);
    return currentGroup() == group;
}
