#include "input/InputFixture.h"

#include <QDir>
#include <QFile>

class ButtonShortcutsTest : public InputTest {
protected:
    // "Adobe Photoshop <version> Settings" under `root` (a new one when empty), with preferences of
    // `size` bytes holding the legacy undo record at `recordAt` (none when negative); no preferences
    // file when `size` is negative.
    QString settingsFolder(const QString& version, qsizetype size, qsizetype recordAt = -1,
                           QString root = {}) {
        if (root.isEmpty()) root = freshTempPath(QStringLiteral("prefs-root"));
        // Without a version the name has a single blank before "Settings".
        const QString folder =
            root + QStringLiteral("/Adobe Photoshop %1Settings").arg(version.isEmpty() ? "" : version + " ");
        QDir().mkpath(folder);
        QByteArray bytes(std::max<qsizetype>(size, 0), 'n');
        if (recordAt >= 0) bytes.replace(recordAt, 9, ButtonShortcuts::kPhotoshopLegacyUndoRecord);
        if (size >= 0)
            writeFile(QStringLiteral("%1/Adobe Photoshop %2 Prefs.psp").arg(folder, version), bytes);
        if (!workspace.preferencesRoots.contains(root)) workspace.preferencesRoots << root;
        return root;
    }
};

// Command-Option-Escape goes where the session's shortcuts see it; after the key, every modifier but a
// lone one pressed is let go.
TEST_F(ButtonShortcutsTest, KeysArePostedWithTheirModifiersAndEveryKeyIsLetGo) {
    const std::tuple<uint16_t, uint64_t, QString> cases[] = {
        {53, 0x180000, "kd53^180000!2 ku53!2 ku55 ku58 ku59 ku56"},
        {6, 0x40000, "kd6^40000 ku6 ku55 ku58 ku56"},
    };
    for (const auto& [keyCode, flags, posted] : cases) {
        input().shortcuts().postKeyWithModifiers(keyCode, flags);
        EXPECT_EQ(take(), posted);
    }
}

TEST_F(ButtonShortcutsTest, TheLetterKeyIsTheOneThatTypesItOnTheCurrentLayout) {
    // The layout's keys, whether it can be translated at all, the keys of z and y.
    const std::tuple<std::map<uint16_t, QString>, bool, int, int> cases[] = {
        {{{6, "z"}, {16, "y"}}, true, 6, 16}, {{{6, "w"}, {13, "z"}, {16, "y"}}, true, 13, 16}, // French
        {{{6, "y"}, {16, "z"}}, true, 16, 6},                                                   // German
        {{{13, "z"}}, false, 6, 16}, // nothing to translate with: the US keys
        {{{13, "Z"}}, true, 6, 16},           {{{3, "zz"}, {13, "z"}}, true, 3, 16},
    };
    for (const auto& [keys, hasLayout, undoKey, redoKey] : cases) {
        inputSources.keys = keys;
        inputSources.hasLayout = hasLayout;
        input().shortcuts().simulateUndo();
        input().shortcuts().simulateRedoForCorelPainter();
        EXPECT_EQ(take(), QStringLiteral("kd%1^100000 ku%1^100000 ku55 kd%2^100000 ku%2^100000 ku55")
                              .arg(undoKey)
                              .arg(redoKey));
    }
}

// The version is read from the settings folder's name and the undo shortcuts from the preferences'
// bytes, with no shell in between: a folder name is only ever a name.
TEST_F(ButtonShortcutsTest, PhotoshopsSettingsTellItsVersionAndItsUndoShortcuts) {
    // Settings folders (version, preferences size, legacy record at), the version read, its number,
    // whether the newer shortcuts are used.
    const std::tuple<std::vector<std::tuple<QString, qsizetype, qsizetype>>, QString, float, bool> cases[] = {
        {{}, QString(), 0, false},
        {{{"CC 2019", 4000, 100}}, "CC 2019", 2019, false},
        {{{"2020", 4000, -1}}, "2020", 2020, true},
        {{{"2020", 200000, 64 * 1024 - 3}}, "2020", 2020, false}, // across two pieces read
        {{{"2021", 70000, 70000 - 9}}, "2021", 2021, false},
        {{{"2020", -1, -1}}, "2020", 2020, true}, // no preferences to read
        {{{"2020", ButtonShortcuts::kMaxPreferencesBytes + 20, ButtonShortcuts::kMaxPreferencesBytes}},
         "2020",
         2020,
         true}, // past what is read
        {{{"CC 2018", 10, -1}}, "CC 2018", 2018, false},
        {{{"2018", 10, 0}, {"2021", 10, -1}}, "2021", 2021, true},
        {{{"", 10, -1}}, "", 0, false},
        {{{"2020 $(touch pwned); `touch pwned`", 100, 1}}, "2020 $(touch pwned); `touch pwned`", 2020, false},
    };
    for (const auto& [folders, version, number, shortcutNew] : cases) {
        workspace.preferencesRoots.clear();
        QString root;
        for (const auto& [folderVersion, size, recordAt] : folders)
            root = settingsFolder(folderVersion, size, recordAt, root);
        ButtonShortcuts& shortcuts = input().shortcuts();
        EXPECT_EQ(shortcuts.getPhotoshopVersionString(), version);
        EXPECT_EQ(shortcuts.getPhotoshopVersionString().isNull(), version.isNull());
        EXPECT_EQ(ButtonShortcuts::getPhotoshopVersionNumber(version), number);
        EXPECT_EQ(shortcuts.isPhotoshopShortcutNew(), shortcutNew) << version.toStdString();
    }
    EXPECT_FALSE(QFile::exists("pwned"));
    for (const auto& [text, number] : std::initializer_list<std::pair<const char*, float>>{
             {"CC", 0}, {".", 0}, {"20.19.1", 20.19f}, {"v.5", 0.5f}, {"x12y", 12}})
        EXPECT_EQ(ButtonShortcuts::getPhotoshopVersionNumber(text), number) << text;

    // Photoshop coming to the front reads which undo its pencil button then posts.
    for (const auto& [recordAt, undo] : std::initializer_list<std::pair<qsizetype, QString>>{
             {10, "kd6^180000 ku6 ku55 ku58 ku59 ku56"}, {-1, "kd6^100000 ku6^100000 ku55"}}) {
        workspace.preferencesRoots.clear();
        settingsFolder("2020", 100, recordAt);
        activate("com.adobe.Photoshop");
        input().handleStylusStatusChanged({{"stylusStatus", 100}, {"buttonAction", "1"}});
        EXPECT_EQ(take(), undo);
    }
}

TEST_F(ButtonShortcutsTest, PhotoshopAccessibilityAdviceIsGivenOnceForTheVersionsThatNeedIt) {
    // The settings folder's version (null: none), "photoshopNeedGrant" before, whether the desktop has
    // an accessibility permission, whether the advice is given, "photoshopNeedGrant" after.
    const std::tuple<const char*, bool, bool, bool, bool> cases[] = {
        {"CC 2017", true, true, true, false},  {"CC 2015", true, true, false, false},
        {nullptr, true, true, false, false},   {"CC 2017", false, true, false, false},
        {"CC 2017", true, false, false, true}, // a desktop without such a permission
    };
    for (const auto& [version, needGrant, permissionExists, advice, needGrantAfter] : cases) {
        workspace.preferencesRoots.clear();
        if (version) settingsFolder(version, 10);
        defaults.setBool(needGrant, "photoshopNeedGrant");
        hooks.assistiveAccessGranted = nullptr;
        if (permissionExists) hooks.assistiveAccessGranted = [](bool) { return true; };
        hooks.alertForPhotoshopAccessibility = [this] { calls << "advice"; };
        input_.reset();
        calls.clear();
        for (const char* application : {"com.adobe.Photoshop", "com.apple.finder", "com.adobe.Photoshop"})
            activate(application);
        EXPECT_EQ(calls.count("advice"), advice ? 1 : 0) << (version ? version : "none");
        EXPECT_EQ(defaults.boolForKey("photoshopNeedGrant"), needGrantAfter);
    }
}
