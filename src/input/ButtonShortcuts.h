#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <optional>

class EventPoster;
class InputSources;
class UserDefaults;
class Workspace;
struct InputHooks;

// The keyboard shortcuts that the pencil's buttons and the multi-finger taps end in: undo and redo
// as each application binds them, the keys that post them, the layout-aware lookup of a letter's key,
// and the probe of Photoshop's preferences that tells its older undo shortcuts from the newer ones.
// Main thread only.
class ButtonShortcuts {
public:
    // Virtual key codes (the US layout's key positions).
    static constexpr uint16_t kKeyCodeZ = 6;
    static constexpr uint16_t kKeyCodeY = 16;
    static constexpr uint16_t kKeyCodeCommand = 55;
    static constexpr uint16_t kKeyCodeShift = 56;
    static constexpr uint16_t kKeyCodeOption = 58;
    static constexpr uint16_t kKeyCodeControl = 59;
    static constexpr uint16_t kKeyCodeEscape = 53;
    // The device-dependent bit of the left Control key.
    static constexpr uint64_t kFlagLeftControl = 0x1;
    // Photoshop keeps its older undo shortcuts (step backward, step forward) while its preferences
    // hold this record.
    static inline const QByteArray kPhotoshopLegacyUndoRecord = QByteArray::fromHex("6e55676c6c6f6f6201");
    // How much of a preferences file is searched for it, on the main thread: the file is a few hundred
    // kilobytes, and a file of any size costs at most this much reading.
    static constexpr qint64 kMaxPreferencesBytes = 16 << 20;

    ButtonShortcuts(EventPoster& poster, InputSources& inputSources, Workspace& workspace,
                    UserDefaults& defaults, const InputHooks& hooks);

    // The key with Command, then the key and Command let go.
    void postKeyWithCmd(uint16_t keyCode);
    // The key with `flags`, then every modifier key let go but the one the flags are exactly.
    void postKeyWithModifiers(uint16_t keyCode, uint64_t flags);
    // The key that types `character` on the current layout without modifiers, or `fallback`.
    uint16_t keyCodeForChar(char16_t character, uint16_t fallback);

    void simulateUndo();
    void simulateRedo();
    void simulateStepBackward();
    void simulateStepForward();
    void simulateUndoForPhotoshop();
    void simulateRedoForPhotoshop();
    void simulateUndoForZBrush();
    void simulateRedoForZBrush();
    void simulateUndoForMudbox();
    void simulateRedoForMudbox();
    void simulateUndoForCorelPainter();
    void simulateRedoForCorelPainter();
    // Undo and redo of the application with this identifier.
    void simulateUndoForApplication(int32_t targetApp);
    void simulateRedoForApplication(int32_t targetApp);
    // Whether the application redoes with Command-Y (Control-Y on this desktop) rather than with
    // Shift added to undo.
    static bool redoesWithY(int32_t targetApp);

    // The pencil's button reports ("buttonAction" "1" undo, "2" redo; anything else nothing).
    void handleButtonEventForPhotoshop(const QVariantMap& event);
    void handleButtonEventForSketchBook(const QVariantMap& event);
    void handleButtonEventForZBrush(const QVariantMap& event);
    void handleButtonEventForMudbox(const QVariantMap& event);
    void handleButtonEventForCorelPainter(const QVariantMap& event);

    // The version in the name of Photoshop's last settings folder ("CC 2019" of "Adobe Photoshop CC
    // 2019 Settings"); null when there is none.
    QString getPhotoshopVersionString();
    // The first number in a version string (2019 of "CC 2019"); 0 for none.
    static float getPhotoshopVersionNumber(const QString& version);
    // Whether Photoshop (2019 or later) undoes with Command-Z: its preferences lack the legacy record.
    bool isPhotoshopShortcutNew();
    // Whether the user should be told to let Photoshop (2016 to 2018) be controlled; decided once.
    bool bPhotoshopMayNeedAccessibilityGrant();
    void setBPhotoshopMayNeedAccessibilityGrant(bool value) { bPhotoshopMayNeedAccessibilityGrant_ = value; }

    bool bPhotoshopShortcutNew() const { return bPhotoshopShortcutNew_; }
    void setBPhotoshopShortcutNew(bool value) { bPhotoshopShortcutNew_ = value; }

private:
    struct SettingsFolder {
        QString path;
        QString version;
    };
    // The settings folder the version is read from: the last one in name order, over every root.
    std::optional<SettingsFolder> photoshopSettingsFolder();
    void postKeyUp(uint16_t keyCode, uint64_t flags = 0);
    uint16_t keyCodeZ() { return keyCodeForChar(u'z', kKeyCodeZ); }
    uint16_t keyCodeY() { return keyCodeForChar(u'y', kKeyCodeY); }

    EventPoster& poster_;
    InputSources& inputSources_;
    Workspace& workspace_;
    UserDefaults& defaults_;
    const InputHooks& hooks_;
    bool bPhotoshopShortcutNew_ = false;
    std::optional<bool> bPhotoshopMayNeedAccessibilityGrant_;
};
