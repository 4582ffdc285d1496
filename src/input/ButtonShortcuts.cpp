#include "input/ButtonShortcuts.h"

#include "base/UserDefaults.h"
#include "input/ApplicationProfiles.h"
#include "input/InputHooks.h"
#include "platform/EventPoster.h"
#include "platform/InputSources.h"
#include "platform/Workspace.h"
#include "session/PeerMessage.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <array>
#include <utility>

namespace {

const QString kPhotoshopNeedGrant = QStringLiteral("photoshopNeedGrant");
const QString kAdobePhotoshop = QStringLiteral("Adobe Photoshop");
const QString kSettings = QStringLiteral("Settings");

Event keyEvent(int32_t type, uint16_t keyCode, uint64_t flags) {
    Event event;
    event.type = type;
    event.keyCode = keyCode;
    event.flags = flags;
    return event;
}

// Whether the file holds `record` within its first `limit` bytes; read piecewise, so a large file costs
// no more memory than one piece.
bool fileContains(const QString& path, const QByteArray& record, qint64 limit) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    constexpr qint64 kPiece = 64 * 1024;
    QByteArray window;
    qint64 read = 0;
    while (read < limit) {
        const QByteArray piece = file.read(std::min(kPiece, limit - read));
        if (piece.isEmpty()) break;
        read += piece.size();
        // Keep the tail of the last piece, so a record split across two pieces is found.
        window = window.right(record.size() - 1) + piece;
        if (window.contains(record)) return true;
    }
    return false;
}

} // namespace

ButtonShortcuts::ButtonShortcuts(EventPoster& poster, InputSources& inputSources, Workspace& workspace,
                                 UserDefaults& defaults, const InputHooks& hooks)
    : poster_(poster), inputSources_(inputSources), workspace_(workspace), defaults_(defaults),
      hooks_(hooks) {}

void ButtonShortcuts::postKeyUp(uint16_t keyCode, uint64_t flags) {
    poster_.post(keyEvent(EventType::kKeyUp, keyCode, flags), EventTap::kHID);
}

void ButtonShortcuts::postKeyWithCmd(uint16_t keyCode) {
    poster_.post(keyEvent(EventType::kKeyDown, keyCode, EventFlag::kMaskCommand), EventTap::kHID);
    // The key goes up too: a key pressed and never let go repeats on this desktop until another key
    // is pressed.
    postKeyUp(keyCode, EventFlag::kMaskCommand);
    postKeyUp(kKeyCodeCommand);
}

void ButtonShortcuts::postKeyWithModifiers(uint16_t keyCode, uint64_t flags) {
    const EventSource source{EventSource::kStateCombinedSession};
    Event down = keyEvent(EventType::kKeyDown, keyCode, flags);
    down.source = source;
    Event up = keyEvent(EventType::kKeyUp, keyCode, 0);
    up.source = source;
    // Command-Option-Escape goes where the session's own shortcuts see it.
    const bool forceQuit =
        keyCode == kKeyCodeEscape && (flags & EventFlag::kMaskCommand) && (flags & EventFlag::kMaskAlternate);
    const int32_t tap = forceQuit ? EventTap::kAnnotatedSession : EventTap::kHID;
    poster_.post(down, tap);
    poster_.post(up, tap);
    static constexpr std::array<std::pair<uint64_t, uint16_t>, 4> kModifiers{{
        {EventFlag::kMaskCommand, kKeyCodeCommand},
        {EventFlag::kMaskAlternate, kKeyCodeOption},
        {EventFlag::kMaskControl, kKeyCodeControl},
        {EventFlag::kMaskShift, kKeyCodeShift},
    }};
    for (const auto& [mask, modifierKey] : kModifiers)
        if (flags != mask) postKeyUp(modifierKey);
}

uint16_t ButtonShortcuts::keyCodeForChar(char16_t character, uint16_t fallback) {
    if (!inputSources_.hasCurrentKeyLayout()) return fallback;
    for (uint16_t keyCode = 0; keyCode < 128; ++keyCode) {
        const std::optional<QString> typed = inputSources_.translateKeyCode(keyCode);
        if (typed && !typed->isEmpty() && typed->at(0).unicode() == character) return keyCode;
    }
    return fallback;
}

void ButtonShortcuts::simulateUndo() {
    postKeyWithCmd(keyCodeZ());
}
void ButtonShortcuts::simulateRedo() {
    postKeyWithModifiers(keyCodeZ(), EventFlag::kMaskCommand | EventFlag::kMaskShift);
}
void ButtonShortcuts::simulateStepBackward() {
    postKeyWithModifiers(keyCodeZ(), EventFlag::kMaskCommand | EventFlag::kMaskAlternate);
}
void ButtonShortcuts::simulateStepForward() {
    postKeyWithModifiers(keyCodeZ(), EventFlag::kMaskCommand | EventFlag::kMaskShift);
}
void ButtonShortcuts::simulateUndoForPhotoshop() {
    if (bPhotoshopShortcutNew_)
        simulateUndo();
    else
        simulateStepBackward();
}
void ButtonShortcuts::simulateRedoForPhotoshop() {
    if (bPhotoshopShortcutNew_)
        simulateRedo();
    else
        simulateStepForward();
}
void ButtonShortcuts::simulateUndoForZBrush() {
    postKeyWithModifiers(keyCodeZ(), EventFlag::kMaskControl | kFlagLeftControl);
}
void ButtonShortcuts::simulateRedoForZBrush() {
    postKeyWithModifiers(keyCodeZ(), EventFlag::kMaskControl | EventFlag::kMaskShift);
}
void ButtonShortcuts::simulateUndoForMudbox() {
    postKeyWithModifiers(keyCodeZ(), EventFlag::kMaskCommand);
}
void ButtonShortcuts::simulateRedoForMudbox() {
    postKeyWithModifiers(keyCodeZ(), EventFlag::kMaskShift);
}
void ButtonShortcuts::simulateUndoForCorelPainter() {
    postKeyWithCmd(keyCodeZ());
}
void ButtonShortcuts::simulateRedoForCorelPainter() {
    postKeyWithCmd(keyCodeY());
}

bool ButtonShortcuts::redoesWithY(int32_t targetApp) {
    switch (targetApp) {
    case AppId::kCorelPainter:
    case AppId::kClipStudioPaint:
    case AppId::kGIMP:
    case AppId::kMyPaint:
    case AppId::kXournalpp:
        return true;
    default:
        return false;
    }
}

void ButtonShortcuts::simulateUndoForApplication(int32_t targetApp) {
    switch (targetApp) {
    case AppId::kPhotoshop:
        return simulateUndoForPhotoshop();
    case AppId::kZBrush:
        return simulateUndoForZBrush();
    case AppId::kMudbox:
        return simulateUndoForMudbox();
    case AppId::kCorelPainter:
    case AppId::kClipStudioPaint:
        return simulateUndoForCorelPainter();
    default:
        return simulateUndo();
    }
}

void ButtonShortcuts::simulateRedoForApplication(int32_t targetApp) {
    switch (targetApp) {
    case AppId::kPhotoshop:
        return simulateRedoForPhotoshop();
    case AppId::kZBrush:
        return simulateRedoForZBrush();
    case AppId::kMudbox:
        return simulateRedoForMudbox();
    default:
        if (redoesWithY(targetApp)) return simulateRedoForCorelPainter();
        return simulateRedo();
    }
}

namespace {

// "1" undoes, "2" redoes; any other action is not a shortcut.
template <class Undo, class Redo> void buttonAction(const QVariantMap& event, Undo undo, Redo redo) {
    const QString action = PeerMessage::stringValue(event, QStringLiteral("buttonAction"));
    if (action == u"1")
        undo();
    else if (action == u"2")
        redo();
}

} // namespace

void ButtonShortcuts::handleButtonEventForPhotoshop(const QVariantMap& event) {
    buttonAction(
        event, [this] { simulateUndoForPhotoshop(); }, [this] { simulateRedoForPhotoshop(); });
}
void ButtonShortcuts::handleButtonEventForSketchBook(const QVariantMap& event) {
    buttonAction(
        event, [this] { simulateUndo(); }, [this] { simulateRedo(); });
}
void ButtonShortcuts::handleButtonEventForZBrush(const QVariantMap& event) {
    buttonAction(
        event, [this] { simulateUndoForZBrush(); }, [this] { simulateRedoForZBrush(); });
}
void ButtonShortcuts::handleButtonEventForMudbox(const QVariantMap& event) {
    buttonAction(
        event, [this] { simulateUndoForMudbox(); }, [this] { simulateRedoForMudbox(); });
}
void ButtonShortcuts::handleButtonEventForCorelPainter(const QVariantMap& event) {
    buttonAction(
        event, [this] { simulateUndoForCorelPainter(); }, [this] { simulateRedoForCorelPainter(); });
}

std::optional<ButtonShortcuts::SettingsFolder> ButtonShortcuts::photoshopSettingsFolder() {
    // Folder names are read as data: nothing of them reaches a shell.
    std::vector<std::pair<QString, QString>> found; // (name, path)
    for (const QString& root : workspace_.applicationPreferencesRoots()) {
        const QDir dir(root);
        const QStringList names =
            dir.entryList({QStringLiteral("Adobe Photoshop *Settings")},
                          QDir::Dirs | QDir::NoDotAndDotDot | QDir::CaseSensitive, QDir::Name);
        for (const QString& name : names)
            found.emplace_back(name, dir.filePath(name));
    }
    if (found.empty()) return std::nullopt;
    // With several folders the last in name order wins: the newest version.
    const auto& [name, path] = *std::max_element(found.begin(), found.end());
    const qsizetype product = name.lastIndexOf(kAdobePhotoshop);
    const qsizetype settings = name.lastIndexOf(kSettings);
    if (product < 0 || settings < 0) return std::nullopt;
    // Between the blank after the product name and the blank before "Settings"; a folder named
    // without a version has an empty one.
    const qsizetype start = product + kAdobePhotoshop.size() + 1;
    const qsizetype length = settings - 1 - start;
    return SettingsFolder{path, length > 0 ? name.mid(start, length) : QStringLiteral("")};
}

QString ButtonShortcuts::getPhotoshopVersionString() {
    const std::optional<SettingsFolder> folder = photoshopSettingsFolder();
    return folder ? folder->version : QString();
}

float ButtonShortcuts::getPhotoshopVersionNumber(const QString& version) {
    auto isNumberChar = [](QChar c) { return c.isDigit() || c == u'.'; };
    const auto first = std::find_if(version.begin(), version.end(), isNumberChar);
    const auto last = std::find_if_not(first, version.end(), isNumberChar);
    // The run's leading decimal number: digits, a point, digits ("20.19.1" reads 20.19).
    QString whole, fraction;
    auto it = first;
    for (; it != last && it->isDigit(); ++it)
        whole += *it;
    if (it != last && *it == u'.')
        for (++it; it != last && it->isDigit(); ++it)
            fraction += *it;
    if (whole.isEmpty() && fraction.isEmpty()) return 0.0f;
    const QString number = (whole.isEmpty() ? QStringLiteral("0") : whole) + u'.' +
                           (fraction.isEmpty() ? QStringLiteral("0") : fraction);
    return number.toFloat();
}

bool ButtonShortcuts::isPhotoshopShortcutNew() {
    const std::optional<SettingsFolder> folder = photoshopSettingsFolder();
    if (!folder || getPhotoshopVersionNumber(folder->version) < 2019.0f) return false;
    const QString preferences =
        QDir(folder->path).filePath(QStringLiteral("Adobe Photoshop %1 Prefs.psp").arg(folder->version));
    // Preferences that cannot be read hold no legacy record: the newer shortcuts are assumed.
    return !fileContains(preferences, kPhotoshopLegacyUndoRecord, kMaxPreferencesBytes);
}

bool ButtonShortcuts::bPhotoshopMayNeedAccessibilityGrant() {
    if (bPhotoshopMayNeedAccessibilityGrant_) return *bPhotoshopMayNeedAccessibilityGrant_;
    bool answer = false;
    // Only a desktop that asks for an accessibility permission can withhold it from Photoshop.
    if (hooks_.assistiveAccessGranted && defaults_.boolForKey(kPhotoshopNeedGrant)) {
        const QString version = getPhotoshopVersionString();
        const float number = getPhotoshopVersionNumber(version);
        answer = !version.isNull() && (number == 2016.0f || number == 2017.0f || number == 2018.0f);
        if (!answer) {
            defaults_.setBool(false, kPhotoshopNeedGrant);
            defaults_.synchronize();
        }
    }
    bPhotoshopMayNeedAccessibilityGrant_ = answer;
    return answer;
}
