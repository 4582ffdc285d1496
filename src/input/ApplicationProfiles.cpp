#include "input/ApplicationProfiles.h"

#include "base/UserDefaults.h"
#include "input/ButtonShortcuts.h"
#include "input/InputHooks.h"
#include "platform/Workspace.h"

#include <QLatin1String>
#include <array>

namespace {

enum class IdentifierTest { None, BeginsWith, Contains, Equals, EqualsIgnoringCase };

struct ApplicationRow {
    int32_t identifier;
    // Found in the application's name as the user sees it, case-sensitively; null: no name test.
    const char* nameContains;
    IdentifierTest test;
    const char* identifierText;
};

using T = IdentifierTest;

// First match wins; a row matches by name or by identifier. Under Wine a Windows program is known by
// its executable ("photoshop.exe", in whatever case Wine wrote it), and a Linux desktop names
// programs by their desktop-file ID ("org.kde.krita"): those rows follow the program's own.
constexpr std::array kApplicationTable{
    ApplicationRow{AppId::kPhotoshop, "Photoshop", T::BeginsWith, "com.adobe.Photoshop"},
    ApplicationRow{AppId::kPhotoshop, nullptr, T::EqualsIgnoringCase, "photoshop.exe"},
    ApplicationRow{AppId::kIllustrator, "Illustrator", T::BeginsWith, "com.adobe.illustrator"},
    ApplicationRow{AppId::kIllustrator, nullptr, T::EqualsIgnoringCase, "illustrator.exe"},
    ApplicationRow{AppId::kLightroom, "Lightroom", T::BeginsWith, "com.adobe.Lightroom"},
    ApplicationRow{AppId::kLightroom, nullptr, T::EqualsIgnoringCase, "lightroom.exe"},
    ApplicationRow{AppId::kCorelPainter, "Corel Painter", T::Contains, "com.corel.Painter"},
    ApplicationRow{AppId::kSketchBook, "SketchBook", T::BeginsWith, "com.autodesk.sketchbook"},
    ApplicationRow{AppId::kMangaStudio, "MangaStudio", T::None, nullptr},
    ApplicationRow{AppId::kPixelmator, "Pixelmator", T::None, nullptr},
    ApplicationRow{AppId::kMischief, "Mischief", T::None, nullptr},
    ApplicationRow{AppId::kAffinityPhoto, "Affinity Photo", T::BeginsWith, "com.seriflabs.affinityphoto"},
    ApplicationRow{AppId::kToonBoomHarmony, nullptr, T::BeginsWith, "com.toonboom.harmony"},
    ApplicationRow{AppId::kMediBang, "MediBang", T::BeginsWith, "com.medibang.cloudalpaca"},
    ApplicationRow{AppId::kMediBang, nullptr, T::EqualsIgnoringCase, "medibangpaintpro.exe"},
    ApplicationRow{AppId::kClipStudioPaint, "CLIP STUDIO PAINT", T::BeginsWith, "jp.co.celsys.CLIPSTUDIO"},
    ApplicationRow{AppId::kClipStudioPaint, nullptr, T::EqualsIgnoringCase, "clipstudiopaint.exe"},
    ApplicationRow{AppId::kPDFExpert, "PDF Expert", T::BeginsWith, "com.readdle.PDFExpert"},
    ApplicationRow{AppId::kZBrush, "ZBrush", T::BeginsWith, "com.pixologic.zbrush"},
    ApplicationRow{AppId::kZBrush, nullptr, T::EqualsIgnoringCase, "zbrush.exe"},
    ApplicationRow{AppId::kMarginNote, "MarginNote", T::BeginsWith, "QReader.MarginStudyMac"},
    ApplicationRow{AppId::kPowerPoint, "PowerPoint", T::BeginsWith, "com.microsoft.Powerpoint"},
    ApplicationRow{AppId::kPowerPoint, nullptr, T::EqualsIgnoringCase, "powerpnt.exe"},
    ApplicationRow{AppId::kWord, "Microsoft Word", T::BeginsWith, "com.microsoft.Word"},
    ApplicationRow{AppId::kWord, nullptr, T::EqualsIgnoringCase, "winword.exe"},
    ApplicationRow{AppId::kExcel, "Microsoft Excel", T::BeginsWith, "com.microsoft.Excel"},
    ApplicationRow{AppId::kExcel, nullptr, T::EqualsIgnoringCase, "excel.exe"},
    ApplicationRow{AppId::kTayasuiSketches, "Tayasui Sketches", T::BeginsWith, "com.tayasui.sketches"},
    ApplicationRow{AppId::kChrome, "Google Chrome", T::BeginsWith, "com.google.Chrome"},
    ApplicationRow{AppId::kChrome, nullptr, T::BeginsWith, "google-chrome"},
    ApplicationRow{AppId::kRebelle, "Rebelle", T::BeginsWith, "com.escapemotions.rebelle"},
    ApplicationRow{AppId::kMaya, "Maya", T::BeginsWith, "com.autodesk.Maya"},
    ApplicationRow{AppId::kMaya, nullptr, T::EqualsIgnoringCase, "maya.exe"},
    ApplicationRow{AppId::kSubstancePainter, "Substance ", T::BeginsWith,
                   "com.allegorithmic.substance-painter"},
    ApplicationRow{AppId::kKrita, "Krita", T::BeginsWith, "org.krita"},
    ApplicationRow{AppId::kKrita, nullptr, T::BeginsWith, "org.kde.krita"},
    ApplicationRow{AppId::kInkscape, "Inkscape", T::BeginsWith, "org.inkscape"},
    ApplicationRow{AppId::kMudbox, "Mudbox", T::BeginsWith, "com.autodesk.Mudbox"},
    ApplicationRow{AppId::kMudbox, nullptr, T::EqualsIgnoringCase, "mudbox.exe"},
    // Distributions name some of these by the program alone ("gimp.desktop", WM_CLASS "gimp-2.10").
    ApplicationRow{AppId::kGIMP, nullptr, T::BeginsWith, "org.gimp.GIMP"},
    ApplicationRow{AppId::kGIMP, nullptr, T::BeginsWith, "gimp"},
    ApplicationRow{AppId::kMyPaint, "MyPaint", T::BeginsWith, "org.mypaint.MyPaint"},
    ApplicationRow{AppId::kMyPaint, nullptr, T::BeginsWith, "mypaint"},
    ApplicationRow{AppId::kXournalpp, "Xournal++", T::BeginsWith, "com.github.xournalpp.xournalpp"},
    ApplicationRow{AppId::kRnote, "Rnote", T::BeginsWith, "com.github.flxzt.rnote"},
    ApplicationRow{AppId::kBlender, "Blender", T::BeginsWith, "org.blender.Blender"},
    ApplicationRow{AppId::kBlender, nullptr, T::BeginsWith, "blender"},
    ApplicationRow{AppId::kPencil2D, "Pencil2D", T::BeginsWith, "org.pencil2d.Pencil2D"},
    ApplicationRow{AppId::kPhotos, nullptr, T::Equals, "com.apple.Photos"},
    ApplicationRow{AppId::kPages, nullptr, T::Equals, "com.apple.iWork.Pages"},
    ApplicationRow{AppId::kNumbers, nullptr, T::Equals, "com.apple.iWork.Numbers"},
    ApplicationRow{AppId::kKeynote, nullptr, T::Equals, "com.apple.iWork.Keynote"},
    ApplicationRow{AppId::kPreview, nullptr, T::Equals, "com.apple.Preview"},
    ApplicationRow{AppId::kFinder, nullptr, T::Equals, "com.apple.finder"},
};

bool identifierMatches(IdentifierTest test, const QString& identifier, QLatin1String text) {
    switch (test) {
    case T::None:
        return false;
    case T::BeginsWith:
        return identifier.startsWith(text);
    case T::Contains:
        return identifier.contains(text);
    case T::Equals:
        return identifier == text;
    case T::EqualsIgnoringCase:
        return identifier.compare(text, Qt::CaseInsensitive) == 0;
    }
    return false;
}

} // namespace

ApplicationProfiles::ApplicationProfiles(Workspace& workspace, EventMonitor& eventMonitor,
                                         ButtonShortcuts& shortcuts, UserDefaults& defaults,
                                         const InputHooks& hooks)
    : workspace_(workspace), eventMonitor_(eventMonitor), shortcuts_(shortcuts), defaults_(defaults),
      hooks_(hooks) {}

ApplicationProfiles::~ApplicationProfiles() {
    unregisterKeyboardEvent();
}

int32_t ApplicationProfiles::applicationIdentifier(const FrontmostApplicationInfo& application) {
    for (const ApplicationRow& row : kApplicationTable) {
        if (row.nameContains && application.localizedName.contains(QLatin1String(row.nameContains)))
            return row.identifier;
        if (row.identifierText &&
            identifierMatches(row.test, application.bundleIdentifier, QLatin1String(row.identifierText)))
            return row.identifier;
    }
    return AppId::kOther;
}

int32_t ApplicationProfiles::getPencilCapability(int32_t targetApp) {
    if (uint32_t(targetApp) < 20 || targetApp == AppId::kMudbox) return PencilCapability::kTablet;
    if (targetApp == AppId::kSketchBook) return PencilCapability::kPressureOnly;
    return PencilCapability::kFullTablet;
}

int32_t ApplicationProfiles::getAppContextShortcut(int32_t targetApp) {
    switch (targetApp) {
    case AppId::kPhotoshop:
        return ShortcutClass::kPhotoshop;
    case AppId::kIllustrator:
    case AppId::kMangaStudio:
    case AppId::kPixelmator:
    case AppId::kMischief:
        return ShortcutClass::kIllustratorLike;
    case AppId::kCorelPainter:
    case AppId::kClipStudioPaint:
        return ShortcutClass::kCorelPainterLike;
    case AppId::kToonBoomHarmony:
    case AppId::kMaya:
    case AppId::kSubstancePainter:
    case AppId::kSketchBook:
        return ShortcutClass::kSketchBookLike;
    case AppId::kLightroom:
    case AppId::kAffinityPhoto:
    case AppId::kMediBang:
    case AppId::kPDFExpert:
    case AppId::kZBrush:
    case AppId::kMarginNote:
    case AppId::kPowerPoint:
    case AppId::kWord:
    case AppId::kExcel:
    case AppId::kTayasuiSketches:
    case AppId::kChrome:
    case AppId::kRebelle:
    case AppId::kKrita:
    case AppId::kInkscape:
    case AppId::kMudbox:
    // The Linux programs undo and redo with Control and scroll their canvas with the wheel.
    case AppId::kGIMP:
    case AppId::kMyPaint:
    case AppId::kXournalpp:
    case AppId::kRnote:
    case AppId::kBlender:
    case AppId::kPencil2D:
        return ShortcutClass::kDrawingApp;
    default:
        return ShortcutClass::kNoShortcuts;
    }
}

int32_t ApplicationProfiles::refreshTargetAppContextShortcut() {
    targetAppContextShortcut_ = getAppContextShortcut(targetApp_);
    return targetAppContextShortcut_;
}

int32_t ApplicationProfiles::getCurrentApp() {
    targetApp_ = applicationIdentifier(workspace_.frontmostApplication());
    if (targetApp_ != AppId::kPhotoshop) {
        if (eventKeyboardGlobal_) unregisterKeyboardEvent();
        return targetApp_;
    }
    shortcuts_.setBPhotoshopShortcutNew(shortcuts_.isPhotoshopShortcutNew());
    if (shortcuts_.bPhotoshopMayNeedAccessibilityGrant()) {
        // The advice is given once.
        shortcuts_.setBPhotoshopMayNeedAccessibilityGrant(false);
        defaults_.setBool(false, QStringLiteral("photoshopNeedGrant"));
        defaults_.synchronize();
        if (hooks_.alertForPhotoshopAccessibility) hooks_.alertForPhotoshopAccessibility();
    }
    if (!eventKeyboardGlobal_) {
        // Photoshop's "[" and "]" resize the brush, and with it the cursor's picture.
        eventKeyboardGlobal_ = eventMonitor_.addGlobalKeyDownMonitor([this](const QString& characters) {
            const QString lower = characters.toLower();
            if (lower.startsWith(u']') || lower.startsWith(u'[')) hooks_.cursorMoved();
        });
    }
    return targetApp_;
}

void ApplicationProfiles::unregisterKeyboardEvent() {
    // The monitor's handler runs on the main thread like every caller here, so the removal needs no lock.
    if (!eventKeyboardGlobal_) return;
    eventMonitor_.removeMonitor(*eventKeyboardGlobal_);
    eventKeyboardGlobal_.reset();
}
