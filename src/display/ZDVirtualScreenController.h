#pragma once

#include "platform/DisplayServices.h"

#include <QObject>
#include <QRectF>
#include <QVariantMap>
#include <optional>
#include <vector>

// One entry of the display directory: a display and the name it is listed under.
struct DisplayDirectoryEntry {
    DisplayID displayID = kNullDisplayID;
    QString name;
    bool operator==(const DisplayDirectoryEntry&) const = default;
};

// The one owner of what the program knows about the displays: which are online and what they are
// called, which one is streamed (the mirror target), which screen belongs to which display, and when a
// configuration change means the stream has to restart. Lives for the whole run, on the main thread.
//
// The device never gets a display of its own here, so `zubDisplayID` is always 0 and `zubScreen`
// always none; the rules that mention them are kept so that a backend with such a display fits in.
class ZDVirtualScreenController : public QObject {
    Q_OBJECT
    // Observed by the shell to rebuild its menu; every set notifies, also with an unchanged value.
    Q_PROPERTY(bool isFramebufferActive READ isFramebufferActive WRITE setIsFramebufferActive NOTIFY
                   isFramebufferActiveChanged)

public:
    static inline const QString kModeWasChangedNotification = QStringLiteral("ZDModeWasChangedNotification");
    static inline const QString kUpdateMenuNotification = QStringLiteral("ZDUpdateMenuNotification");
    static constexpr uint32_t kMaxDisplays = 15;

    explicit ZDVirtualScreenController(DisplayServices& displays, QObject* parent = nullptr);
    ~ZDVirtualScreenController() override;

    // Installs the reconfiguration callback; always true.
    bool registerDisplayCallback();
    void unregisterDisplayCallback();

    // The display directory in the system's order (the primary display first), rebuilt when empty.
    const std::vector<DisplayDirectoryEntry>& onlineDisplays();
    // The monitor's product name, or a null string when it has none.
    QString displayName(DisplayID display) const;

    // The first directory entry, chosen when first asked for and kept (0 when there is no display).
    DisplayID builtinDisplayID();
    DisplayID cloneDisplayID();
    void setCloneDisplayID(DisplayID display) { cloneDisplayID_ = display; }
    DisplayID zubDisplayID() const { return zubDisplayID_; }

    // Screens, cached until the next reconfiguration event; none when the display has no screen.
    std::optional<DisplayScreen> zubScreen();
    std::optional<DisplayScreen> builtinScreen();
    std::optional<DisplayScreen> cloneScreen();
    // None clears the cached mirror-target screen.
    void setCloneScreen(const std::optional<DisplayScreen>& screen) { cloneScreen_ = screen; }
    // Whether the device's own display carries the menu bar: never, as there is none.
    bool zubScreenHasMenuBar();
    // The main display's bounds in the top-left-origin space, kept until the displays change: the
    // pencil asks for every sample, and the window system answers with round trips.
    QRectF mainDisplayBounds();

    // The "ModeTable" resource, loaded on first use; empty when the resource is missing.
    const QVariantMap& modeTable();
    void setModeTable(const QVariantMap& table) { modeTable_ = table; }

    // Both record the mirror target's bounds and ask for a stream restart; `setMode` ignores `mode`.
    bool setMode(int32_t mode);
    bool setModeForCloneDisplay();
    // Posts "ZDModeWasChangedNotification" with {"mode": currentMode}.
    void postModeChangeNotificationToRestartStream();

    // Takes `display` out of any mirror set; a configuration that cannot be made is skipped.
    void unmirrorDisplay(DisplayID display);

    bool bCloneDisplay() const { return bCloneDisplay_; }
    void setBCloneDisplay(bool clone) { bCloneDisplay_ = clone; }
    int32_t currentMode() const { return currentMode_; }
    bool isFramebufferActive() const { return isFramebufferActive_; }
    void setIsFramebufferActive(bool active);
    bool bMirrorOptimizeForBuiltinDisplay() const { return bMirrorOptimizeForBuiltinDisplay_; }
    QRectF prevCloneDisplayRect() const { return prevCloneDisplayRect_; }
    void setPrevCloneDisplayRect(const QRectF& rect) { prevCloneDisplayRect_ = rect; }

    DisplayServices& displayServices() const { return displays_; }

signals:
    void isFramebufferActiveChanged(bool active);

private:
    void displayReconfigured(DisplayID display, uint32_t flags);
    std::optional<DisplayScreen> screenNumbered(DisplayID display) const;

    DisplayServices& displays_;
    std::optional<DisplayServices::CallbackId> callbackId_;

    bool bCloneDisplay_ = true;
    int32_t currentMode_ = -1;
    DisplayID zubDisplayID_ = kNullDisplayID;
    DisplayID builtinDisplayID_ = kNullDisplayID;
    DisplayID cloneDisplayID_ = kNullDisplayID;
    std::vector<DisplayDirectoryEntry> onlineDisplays_;
    std::optional<QVariantMap> modeTable_;
    std::optional<DisplayScreen> zubScreen_, builtinScreen_, cloneScreen_;
    std::optional<QRectF> mainDisplayBounds_;
    bool isFramebufferActive_ = false;
    bool bMirrorOptimizeForBuiltinDisplay_ = false;
    QRectF prevCloneDisplayRect_;
};
