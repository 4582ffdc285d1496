#pragma once

#include "base/Lifetime.h"

#include <QSizeF>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class Alerts;
class DisplayArrangement;
class DisplayHost;
class UserDefaults;
class ZDVirtualScreenController;

// One entry of the resolution list the status menu offers.
struct ResolutionEntry {
    enum Tag : int32_t { kStandard = 1, kRetina = 2 };
    QString label; // "1366 x 1024" or "1366 x 1024 (Retina)"
    int32_t tag = kStandard;
    bool enabled = true;
    bool operator==(const ResolutionEntry&) const = default;
};

// How the menu shows a resolution item: ticked, and greyed as heavy for this device and encoder.
struct ResolutionItemState {
    bool on = false;
    bool heavy = false;
    bool operator==(const ResolutionItemState&) const = default;
};

// The picture's size for the connected device: its category, device key and size class, the initial
// mode, the resolution list with its ticks and dimming, the advice against very large streams, and
// the user's choice of resolution and frame rate. Main thread only.
class ResolutionController {
public:
    ResolutionController(ZDVirtualScreenController& displayController, DisplayHost& host,
                         UserDefaults& defaults, Alerts& alerts, DisplayArrangement& arrangement);
    ~ResolutionController();

    const QString& deviceCategory() const { return deviceCategory_; }
    const QString& deviceKey() const { return deviceKey_; }
    const QString& sizeClass() const { return sizeClass_; }
    int32_t prevSizeIndexFull() const { return prevSizeIndexFull_; }
    const std::vector<ResolutionEntry>& resolutionMenus() const { return resolutionMenus_; }

    // Over the display controller's "ModeTable".
    int32_t getSizeIndex(int32_t mode, const QString& deviceKey);
    int32_t getMode(const QString& deviceKey, const QString& sizeClass, int32_t sizeIndex,
                    int32_t currentMode);

    // When a device is introduced: learns what it is and returns the mode to start with (the caller
    // follows with changeDisplayMode).
    int32_t adjustInitialMode(const QVariantMap& deviceInfo);
    // Rebuilds the resolution list; the number of entries. Mirror mode offers the mirror target's size
    // in points and in Retina pixels; extended mode offers nothing.
    int32_t updateResolutionMenu(const QString& sizeClass);
    int32_t updateResolutionForCloneDisplay();
    // The tick and the dimming of one resolution item.
    ResolutionItemState resolutionItemState(const QString& title, int32_t tag) const;
    // The submenu's items as (title, tag), each one's state in order; none for the item titled with the
    // localised "DisplaySettings...", which is neither ticked nor greyed.
    std::vector<std::optional<ResolutionItemState>>
    updateResolutionMenuForCloneDisplay(const std::vector<std::pair<QString, int32_t>>& items) const;

    // Whether the stream of the primary display at the chosen scale is too large for comfort; with
    // `show`, says so in an alert (on the main queue) whose first button opens the display settings.
    bool showZubPadOrCloneHiResAlert(bool show);

    // The resolution items' action: the tag is the entry's.
    void changeResolutionSelected(int32_t tag);
    // The resolution submenu's "DisplaySettings..." item.
    void launchDisplaySettings();
    // The frame-rate items' action: the tag is the rate, 30 or 60.
    void setFrameRate(int32_t tag);
    // The device's view changed size (points).
    void resizeEventFromDevice(QSizeF size);

    // The largest pixel load (long side x short side) at which a stream counts as light, by encoder.
    static constexpr qint64 kHeavyLoadWithHardware = 3145728; // 2048 x 1536
    static constexpr qint64 kHeavyLoadWithSoftware = 1296000; // 1440 x 900

private:
    QString hardwareString() const;

    ZDVirtualScreenController& displayController_;
    DisplayHost& host_;
    UserDefaults& defaults_;
    Alerts& alerts_;
    DisplayArrangement& arrangement_;

    QString deviceCategory_;
    QString deviceKey_;
    QString sizeClass_;
    int32_t prevSizeIndexFull_ = 0;
    std::vector<ResolutionEntry> resolutionMenus_;
    // Lets an alert scheduled on the main queue notice that this object is gone.
    Lifetime<ResolutionController> lifetime_{this};
};
