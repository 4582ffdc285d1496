#include "input/InputFixture.h"

using ApplicationProfilesTest = InputTest;

TEST_F(ApplicationProfilesTest, TheFirstMatchingRowNamesTheApplicationAndItsClasses) {
    const struct {
        const char* name;
        const char* identifier;
        int32_t app, capability, shortcutClass;
    } cases[] = {
        {"Adobe Photoshop 2024", "com.adobe.Photoshop", 0, 100, 1},
        {"Photoshop Elements", "com.adobe.elements", 0, 100, 1},
        {"photoshop", "", 1000, 1000, 1000},
        {"", "x.com.adobe.Photoshop", 1000, 1000, 1000},
        {"", "x.com.corel.Painter.y", 3, 100, 3},
        {"SketchBook Pro", "", 100, 1, 4},
        {"", "com.toonboom.harmony.21", 8, 100, 4},
        {"Substance 3D Painter", "anything", 21, 1000, 4},
        {"SubstanceDesigner", "com.allegorithmic.substance-painter.app", 21, 1000, 4},
        {"SubstanceDesigner", "com.allegorithmic.designer", 1000, 1000, 1000},
        {"", "com.apple.Preview", 504, 1000, 1000},
        {"", "com.apple.PreviewX", 1000, 1000, 1000},
        {"", "com.apple.finder", 505, 1000, 1000},
        {"", "", 1000, 1000, 1000},
        // Linux desktop-file IDs and Windows programs under Wine.
        {"", "org.kde.krita", 22, 1000, 100},
        {"", "org.krita.krita", 22, 1000, 100},
        {"", "org.inkscape.Inkscape", 23, 1000, 100},
        {"", "google-chrome", 18, 100, 100},
        {"", "com.google.Chrome", 18, 100, 100},
        {"photoshop.exe", "photoshop.exe", 0, 100, 1},
        {"", "Photoshop.exe", 0, 100, 1},
        {"", "photoshop.exe.old", 1000, 1000, 1000},
        {"", "WINWORD.EXE", 15, 100, 100},
        {"", "CLIPStudioPaint.exe", 10, 100, 3},
        {"", "org.gimp.GIMP", 600, 1000, 100},
        {"GNU Image Manipulation Program", "gimp.desktop", 600, 1000, 100},
        {"MyPaint", "", 601, 1000, 100},
        {"", "com.github.xournalpp.xournalpp", 602, 1000, 100},
        {"", "com.github.flxzt.rnote", 603, 1000, 100},
        {"", "org.blender.Blender", 604, 1000, 100},
        {"", "org.pencil2d.Pencil2D", 605, 1000, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.name << "\" " << c.identifier);
        EXPECT_EQ(activate(QString::fromLatin1(c.identifier), QString::fromLatin1(c.name)), c.app);
        EXPECT_EQ(input().profiles().targetApp(), c.app);
        EXPECT_EQ(InputTranslation::getPencilCapability(c.app), c.capability);
        EXPECT_EQ(InputTranslation::getAppContextShortcut(c.app), c.shortcutClass);
    }
    EXPECT_EQ(InputTranslation::getAppContextShortcut(25), 1000);
    EXPECT_EQ(InputTranslation::getAppContextShortcut(-1), 1000);
    EXPECT_EQ(InputTranslation::getPencilCapability(-1), 1000);
}

TEST_F(ApplicationProfilesTest, BracketKeysResendTheCursorOnlyWhilePhotoshopIsInFront) {
    activate("com.adobe.Photoshop");
    activate("com.adobe.Photoshop");
    EXPECT_EQ(eventMonitor.handlers.size(), 1u);
    for (const char* typed : {"[", "]", "]]", "a", "", "{"})
        eventMonitor.type(QString::fromLatin1(typed));
    EXPECT_EQ(calls, (QStringList{"mouseCursorMoved", "mouseCursorMoved", "mouseCursorMoved"}));

    calls.clear();
    activate("com.apple.finder");
    EXPECT_TRUE(eventMonitor.handlers.empty());
    EXPECT_FALSE(input().profiles().hasKeyboardMonitor());
    eventMonitor.type("[");
    EXPECT_TRUE(calls.isEmpty());

    // A desktop that cannot watch keys is asked again at the next activation.
    eventMonitor.available = false;
    activate("com.adobe.Photoshop");
    EXPECT_FALSE(input().profiles().hasKeyboardMonitor());
    eventMonitor.available = true;
    activate("com.adobe.Photoshop");
    EXPECT_TRUE(input().profiles().hasKeyboardMonitor());
    input_.reset();
    EXPECT_TRUE(eventMonitor.handlers.empty());
}
