#include "shell/StatusItem.h"
#include "base/Bundle.h"
#include "shell/ShellFixture.h"

#include <QAction>
#include <QImage>
#include <QMenu>

TEST(StatusItemTest, EveryImageIsInTheBundleAtBothScales) {
    for (const char* name : {"zubpad", "zubpad_off", "zubpad_dark", "zubpad_off_dark"}) {
        const QImage small =
            QImage::fromData(Bundle::main().resourceData(QLatin1String(name), QStringLiteral("png")));
        const QImage large = QImage::fromData(
            Bundle::main().resourceData(QLatin1String(name) + QStringLiteral("@2x"), QStringLiteral("png")));
        EXPECT_EQ(small.size(), QSize(22, 22)) << name;
        EXPECT_EQ(large.size(), QSize(44, 44)) << name;
        EXPECT_TRUE(small.hasAlphaChannel()) << name;
    }
}

using StatusMenuTest = ShellTest;

TEST_F(StatusMenuTest, MenuHoldsTheStatusLineAndQuitAndWorksWithoutATray) {
    launch();
    StatusItem& item = delegate->statusItem();
    ASSERT_NE(item.menu(), nullptr);
    const QList<QAction*> actions = item.menu()->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), "Zub Pad 1.0.0");
    EXPECT_FALSE(actions[0]->isEnabled());
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2], item.quitItem());
    EXPECT_EQ(actions[2]->text(), "Quit");
    // The offscreen platform has no tray: nothing is shown, and nothing else is missing.
    EXPECT_FALSE(item.isShownInTray());
    EXPECT_EQ(item.images().image, "zubpad_off");
}
