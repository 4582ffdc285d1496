#include "input/InputFixture.h"

#include <QDir>
#include <QFile>

class ButtonShortcutsTest : public InputTest {
protected:
    // A settings folder "Adobe Photoshop <version> Settings" under a root of its own, with the
    // preferences file holding `prefs` unless it is null.
    QString settingsFolder(const QString& version, const QByteArray& prefs, const QString& root = {}) {
        const QString base = root.isEmpty() ? freshTempPath(QStringLiteral("prefs-root")) : root;
        // Without a version the name has one blank between the product and "Settings".
        const QString folder = version.isEmpty()
                                   ? base + QStringLiteral("/Adobe Photoshop Settings")
                                   : QStringLiteral("%1/Adobe Photoshop %2 Settings").arg(base, version);
        QDir().mkpath(folder);
        if (!prefs.isNull()) {
            EXPECT_TRUE(
                writeFile(QStringLiteral("%1/Adobe Photoshop %2 Prefs.psp").arg(folder, version), prefs));
        }
        if (!workspace.preferencesRoots.contains(base)) workspace.preferencesRoots << base;
        return base;
    }
    // Preferences of `size` bytes with the legacy undo record at `offset`, or without it.
    static QByteArray prefs(qsizetype size, qsizetype offset = -1) {
        QByteArray bytes(size, '\x6e');
        if (offset >= 0)
            bytes.replace(offset, ButtonShortcuts::kPhotoshopLegacyUndoRecord.size(),
                          ButtonShortcuts::kPhotoshopLegacyUndoRecord);
        return bytes;
    }
};

TEST_F(ButtonShortcutsTest, KeysArePostedWithTheirModifiersAndLetGoOfEverything) {
    const struct {
        const char* name;
        std::function<void(ButtonShortcuts&)> post;
        QStringList posted;
    } cases[] = {
        {"Command-key",
         [](ButtonShortcuts& s) { s.postKeyWithCmd(69); },
         {"key-down 69 0x100000", "key-up 69 0x100000", "key-up 55"}},
        {"Command-Option-Escape",
         [](ButtonShortcuts& s) { s.postKeyWithModifiers(53, 0x180000); },
         {"key-down 53 0x180000 tap2", "key-up 53 tap2", "key-up 55", "key-up 58", "key-up 59", "key-up 56"}},
        {"Command-Escape",
         [](ButtonShortcuts& s) { s.postKeyWithModifiers(53, 0x100000); },
         {"key-down 53 0x100000", "key-up 53", "key-up 58", "key-up 59", "key-up 56"}},
        {"ZBrush undo",
         [](ButtonShortcuts& s) { s.simulateUndoForZBrush(); },
         {"key-down 6 0x40001", "key-up 6", "key-up 55", "key-up 58", "key-up 59", "key-up 56"}},
        {"Mudbox redo",
         [](ButtonShortcuts& s) { s.simulateRedoForMudbox(); },
         {"key-down 6 0x20000", "key-up 6", "key-up 55", "key-up 58", "key-up 59"}},
        {"Control alone",
         [](ButtonShortcuts& s) { s.postKeyWithModifiers(6, 0x40000); },
         {"key-down 6 0x40000", "key-up 6", "key-up 55", "key-up 58", "key-up 56"}},
        {"Corel Painter redo",
         [](ButtonShortcuts& s) { s.simulateRedoForCorelPainter(); },
         {"key-down 16 0x100000", "key-up 16 0x100000", "key-up 55"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.post(input().shortcuts());
        // The pressed key comes from an event source; the modifiers let go come from none.
        const std::vector<Event> events = poster.posted();
        EXPECT_EQ(events.front().source.has_value(), c.posted.size() != 3);
        EXPECT_FALSE(events.back().source.has_value());
        EXPECT_EQ(take(), c.posted);
    }
}

TEST_F(ButtonShortcutsTest, TheLetterKeyIsTheOneThatTypesItOnTheCurrentLayout) {
    const struct {
        const char* layout;
        std::map<uint16_t, QString> keys;
        bool hasLayout;
        uint16_t undoKey, redoYKey;
    } cases[] = {
        {"US", {{6, "z"}, {16, "y"}}, true, 6, 16},
        {"French: z where US has w", {{6, "w"}, {13, "z"}, {16, "y"}}, true, 13, 16},
        {"German: z and y swapped", {{6, "y"}, {16, "z"}}, true, 16, 6},
        {"a layout that cannot be translated", {{13, "z"}}, false, 6, 16},
        {"no key types z, only Z", {{13, "Z"}}, true, 6, 16},
        {"the first key typing it wins", {{3, "zz"}, {13, "z"}}, true, 3, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        inputSources.keys = c.keys;
        inputSources.hasLayout = c.hasLayout;
        input().shortcuts().simulateUndo();
        input().shortcuts().simulateRedoForCorelPainter();
        const QString undo = QStringLiteral("key-down %1 0x100000").arg(c.undoKey);
        const QString redo = QStringLiteral("key-down %1 0x100000").arg(c.redoYKey);
        EXPECT_EQ(take(), (QStringList{undo, QString(undo).replace("down", "up"), "key-up 55", redo,
                                       QString(redo).replace("down", "up"), "key-up 55"}));
    }
}

TEST_F(ButtonShortcutsTest, PhotoshopsSettingsFolderTellsItsVersionAndItsUndoShortcuts) {
    const QByteArray record = ButtonShortcuts::kPhotoshopLegacyUndoRecord;
    const struct {
        const char* name;
        std::vector<std::pair<QString, QByteArray>> folders; // version, preferences
        QString version;
        float number;
        bool shortcutNew;
    } cases[] = {
        {"no folder", {}, QString(), 0, false},
        {"2019 keeps the legacy record", {{"CC 2019", prefs(4000, 100)}}, "CC 2019", 2019, false},
        {"2020 without it", {{"2020", prefs(4000)}}, "2020", 2020, true},
        {"the record at an odd offset across a read piece",
         {{"2020", prefs(200000, 64 * 1024 - 3)}},
         "2020",
         2020,
         false},
        {"the record at the very end", {{"2021", prefs(70000, 70000 - record.size())}}, "2021", 2021, false},
        {"preferences that cannot be read", {{"2020", QByteArray()}}, "2020", 2020, true},
        {"2018 is too old for the new shortcuts", {{"CC 2018", prefs(10)}}, "CC 2018", 2018, false},
        {"the newest of several folders wins",
         {{"2018", prefs(10, 0)}, {"2021", prefs(10)}},
         "2021",
         2021,
         true},
        {"a folder named without a version", {{"", prefs(10)}}, "", 0, false},
        {"a name made to run commands is only a name",
         {{"2020 $(touch pwned); `touch pwned`", prefs(100, 1)}},
         "2020 $(touch pwned); `touch pwned`",
         2020,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        workspace.preferencesRoots.clear();
        // Several folders go under one root, as they do on disk.
        QString root;
        for (const auto& [version, bytes] : c.folders)
            root = settingsFolder(version, bytes, root);
        ButtonShortcuts& shortcuts = input().shortcuts();
        EXPECT_EQ(shortcuts.getPhotoshopVersionString(), c.version);
        EXPECT_EQ(shortcuts.getPhotoshopVersionString().isNull(), c.version.isNull());
        EXPECT_EQ(ButtonShortcuts::getPhotoshopVersionNumber(c.version), c.number);
        EXPECT_EQ(shortcuts.isPhotoshopShortcutNew(), c.shortcutNew);
    }
    EXPECT_FALSE(QFile::exists("pwned"));

    const std::pair<const char*, float> numbers[] = {{"CC 2019", 2019}, {"2018", 2018},      {"CC", 0},
                                                     {".", 0},          {"20.19.1", 20.19f}, {"v.5", 0.5f},
                                                     {"x12y", 12}};
    for (const auto& [text, number] : numbers)
        EXPECT_EQ(ButtonShortcuts::getPhotoshopVersionNumber(QString::fromLatin1(text)), number) << text;
}

// Photoshop coming to the front reads which undo it uses; its pencil buttons then post that undo.
TEST_F(ButtonShortcutsTest, PhotoshopsPencilButtonsFollowItsPreferences) {
    const struct {
        const char* version;
        QByteArray prefs;
        QStringList undo;
    } cases[] = {
        {"2019",
         prefs(1000, 10),
         {"key-down 6 0x180000", "key-up 6", "key-up 55", "key-up 58", "key-up 59", "key-up 56"}},
        {"2020", prefs(1000), {"key-down 6 0x100000", "key-up 6 0x100000", "key-up 55"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        workspace.preferencesRoots.clear();
        settingsFolder(QString::fromLatin1(c.version), c.prefs);
        activate("com.adobe.Photoshop");
        input().handleStylusStatusChanged(message({{"stylusStatus", 100}, {"buttonAction", "1"}}));
        EXPECT_EQ(take(), c.undo);
    }
}

TEST_F(ButtonShortcutsTest, PhotoshopAccessibilityAdviceIsGivenOnceForTheVersionsThatNeedIt) {
    const struct {
        const char* name;
        const char* version; // null: no settings folder
        bool needGrant, permissionExists, advice, needGrantAfter;
    } cases[] = {
        {"2017", "CC 2017", true, true, true, false},
        {"2015", "CC 2015", true, true, false, false},
        {"no Photoshop", nullptr, true, true, false, false},
        {"already advised", "CC 2017", false, true, false, false},
        {"a desktop without the permission", "CC 2017", true, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        workspace.preferencesRoots.clear();
        if (c.version) settingsFolder(QString::fromLatin1(c.version), prefs(10));
        defaults.setBool(c.needGrant, "photoshopNeedGrant");
        hooks.assistiveAccessGranted = nullptr;
        if (c.permissionExists) hooks.assistiveAccessGranted = [](bool) { return true; };
        hooks.alertForPhotoshopAccessibility = [this] { calls << "alertForPhotoshopAccessibility"; };
        input_.reset();
        calls.clear();
        activate("com.adobe.Photoshop");
        activate("com.apple.finder");
        activate("com.adobe.Photoshop");
        EXPECT_EQ(calls.count("alertForPhotoshopAccessibility"), c.advice ? 1 : 0);
        EXPECT_EQ(defaults.boolForKey("photoshopNeedGrant"), c.needGrantAfter);
    }
}
