#pragma once

#include "platform/EventMonitor.h"

#include <QString>
#include <cstdint>
#include <optional>

class ButtonShortcuts;
class UserDefaults;
class Workspace;
struct FrontmostApplicationInfo;
struct InputHooks;

// Identifiers of the applications the input is tuned for.
namespace AppId {
inline constexpr int32_t kPhotoshop = 0;
inline constexpr int32_t kIllustrator = 1;
inline constexpr int32_t kLightroom = 2;
inline constexpr int32_t kCorelPainter = 3;
inline constexpr int32_t kMangaStudio = 4;
inline constexpr int32_t kPixelmator = 5;
inline constexpr int32_t kMischief = 6;
inline constexpr int32_t kAffinityPhoto = 7;
inline constexpr int32_t kToonBoomHarmony = 8;
inline constexpr int32_t kMediBang = 9;
inline constexpr int32_t kClipStudioPaint = 10;
inline constexpr int32_t kPDFExpert = 11;
inline constexpr int32_t kZBrush = 12;
inline constexpr int32_t kMarginNote = 13;
inline constexpr int32_t kPowerPoint = 14;
inline constexpr int32_t kWord = 15;
inline constexpr int32_t kExcel = 16;
inline constexpr int32_t kTayasuiSketches = 17;
inline constexpr int32_t kChrome = 18;
inline constexpr int32_t kRebelle = 19;
inline constexpr int32_t kMaya = 20;
inline constexpr int32_t kSubstancePainter = 21;
inline constexpr int32_t kKrita = 22;
inline constexpr int32_t kInkscape = 23;
inline constexpr int32_t kMudbox = 24;
inline constexpr int32_t kSketchBook = 100;
inline constexpr int32_t kPhotos = 500;
inline constexpr int32_t kPages = 501;
inline constexpr int32_t kNumbers = 502;
inline constexpr int32_t kKeynote = 503;
inline constexpr int32_t kPreview = 504;
inline constexpr int32_t kFinder = 505;
// Drawing programs of the Linux desktop.
inline constexpr int32_t kGIMP = 600;
inline constexpr int32_t kMyPaint = 601;
inline constexpr int32_t kXournalpp = 602;
inline constexpr int32_t kRnote = 603;
inline constexpr int32_t kBlender = 604;
inline constexpr int32_t kPencil2D = 605;
inline constexpr int32_t kOther = 1000;
} // namespace AppId

// Shortcut classes; kNoShortcuts: no known undo, redo or gesture shortcuts.
namespace ShortcutClass {
inline constexpr int32_t kPhotoshop = 1;
inline constexpr int32_t kIllustratorLike = 2;
inline constexpr int32_t kCorelPainterLike = 3;
inline constexpr int32_t kSketchBookLike = 4;
inline constexpr int32_t kDrawingApp = 100;
inline constexpr int32_t kNoShortcuts = 1000;
} // namespace ShortcutClass

// Pencil capabilities.
namespace PencilCapability {
inline constexpr int32_t kPressureOnly = 1;
inline constexpr int32_t kTablet = 100;
inline constexpr int32_t kFullTablet = 1000;
} // namespace PencilCapability

// Which application is in front, reduced to an identifier, and the classes derived from it that
// choose the pencil's path and the shortcuts. While Photoshop is in front a global key monitor makes
// the cursor be sent again on "[" and "]" (its brush-size keys change the cursor's picture).
// Main thread only.
class ApplicationProfiles {
public:
    ApplicationProfiles(Workspace& workspace, EventMonitor& eventMonitor, ButtonShortcuts& shortcuts,
                        UserDefaults& defaults, const InputHooks& hooks);
    ~ApplicationProfiles();
    ApplicationProfiles(const ApplicationProfiles&) = delete;
    ApplicationProfiles& operator=(const ApplicationProfiles&) = delete;

    // Recognises the application in front, stores its identifier and installs or removes the key
    // monitor.
    int32_t getCurrentApp();
    void foremostAppChanged() { getCurrentApp(); }
    void unregisterKeyboardEvent();

    // The first row of the application table that the application matches, kOther for none.
    static int32_t applicationIdentifier(const FrontmostApplicationInfo& application);
    static int32_t getPencilCapability(int32_t targetApp);
    static int32_t getAppContextShortcut(int32_t targetApp);

    int32_t targetApp() const { return targetApp_; }
    int32_t targetAppContextShortcut() const { return targetAppContextShortcut_; }
    // Derives the shortcut class of the application in front anew, stores and returns it.
    int32_t refreshTargetAppContextShortcut();
    bool hasKeyboardMonitor() const { return eventKeyboardGlobal_.has_value(); }

private:
    Workspace& workspace_;
    EventMonitor& eventMonitor_;
    ButtonShortcuts& shortcuts_;
    UserDefaults& defaults_;
    const InputHooks& hooks_;
    int32_t targetApp_ = 0;
    int32_t targetAppContextShortcut_ = 0;
    std::optional<EventMonitor::MonitorId> eventKeyboardGlobal_;
};
