#include "input/InputFixture.h"

using ApplicationProfilesTest = InputTest;

TEST_F(ApplicationProfilesTest, TheFirstMatchingRowNamesTheApplicationAndItsClasses) {
    // Name, identifier, the application recognised, its pencil capability and shortcut class.
    const std::tuple<const char*, const char*, int32_t, int32_t, int32_t> cases[] = {
        {"Adobe Photoshop 2024", "com.adobe.Photoshop", 0, 100, 1},
        {"Photoshop Elements", "com.adobe.elements", 0, 100, 1},
        {"photoshop", "x.com.adobe.Photoshop", 1000, 1000, 1000},
        {"", "x.com.corel.Painter.y", 3, 100, 3},
        {"SketchBook Pro", "", 100, 1, 4},
        {"", "com.toonboom.harmony.21", 8, 100, 4},
        {"Substance 3D Painter", "anything", 21, 1000, 4},
        {"SubstanceDesigner", "com.allegorithmic.substance-painter.app", 21, 1000, 4},
        {"SubstanceDesigner", "com.allegorithmic.designer", 1000, 1000, 1000},
        {"", "com.apple.Preview", 504, 1000, 1000},
        {"", "com.apple.PreviewX", 1000, 1000, 1000},
        {"", "", 1000, 1000, 1000},
        // Linux desktop-file IDs, and Windows programs under Wine by their executable.
        {"", "org.kde.krita", 22, 1000, 100},
        {"", "google-chrome", 18, 100, 100},
        {"", "Photoshop.exe", 0, 100, 1},
        {"", "photoshop.exe.old", 1000, 1000, 1000},
        {"", "WINWORD.EXE", 15, 100, 100},
        {"", "CLIPStudioPaint.exe", 10, 100, 3},
        {"", "org.gimp.GIMP", 600, 1000, 100},
        {"GNU Image Manipulation Program", "gimp.desktop", 600, 1000, 100},
        {"MyPaint", "", 601, 1000, 100},
        {"", "org.pencil2d.Pencil2D", 605, 1000, 100},
    };
    for (const auto& [name, identifier, app, capability, shortcutClass] : cases) {
        EXPECT_EQ(activate(identifier, name), app) << name << " " << identifier;
        EXPECT_EQ(InputTranslation::getPencilCapability(app), capability) << app;
        EXPECT_EQ(InputTranslation::getAppContextShortcut(app), shortcutClass) << app;
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
        eventMonitor.type(typed);
    EXPECT_EQ(calls.count("cursorMoved"), 3);
    activate("com.apple.finder");
    EXPECT_TRUE(eventMonitor.handlers.empty());

    // A desktop that cannot watch keys now is asked again at the next activation.
    eventMonitor.available = false;
    activate("com.adobe.Photoshop");
    eventMonitor.available = true;
    activate("com.adobe.Photoshop");
    EXPECT_EQ(eventMonitor.handlers.size(), 1u);
    input_.reset();
    EXPECT_TRUE(eventMonitor.handlers.empty());
}
