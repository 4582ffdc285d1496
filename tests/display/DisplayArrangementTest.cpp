#include "display/DisplayArrangement.h"
#include "FakeDisplayHost.h"
#include "base/NotificationCenter.h"
#include "base/UserDefaults.h"
#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

class DisplayArrangementTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays.addDisplay({.id = 1, .bounds = {0, 0, 1366, 1024}});
        observer = NotificationCenter::defaultCenter().addObserver(
            ZDVirtualScreenController::kModeWasChangedNotification, nullptr,
            [this](const Notification&) { host.calls << QStringLiteral("restart"); });
    }
    void TearDown() override { NotificationCenter::defaultCenter().removeObserver(observer); }

    FakeDisplayServices displays;
    ZDVirtualScreenController controller{displays};
    FakeDisplayHost host;
    // A file of its own per test: a fixture made at the address of the one before must not find its settings.
    static inline int files_ = 0;
    UserDefaults defaults{tempPath(QStringLiteral("arrangement-%1.plist").arg(++files_))};
    DisplayArrangement arrangement{controller, host, defaults};
    NotificationCenter::ObserverId observer = 0;
};

TEST_F(DisplayArrangementTest, ExtendingStopsTheStreamOnlyOfAConnectedDevice) {
    defaults.setBool(true, QStringLiteral("cloneDisplay"));
    host.connected = false;
    arrangement.extendDisplaySelected();
    EXPECT_FALSE(controller.bCloneDisplay());
    ASSERT_TRUE(defaults.containsKey(QStringLiteral("cloneDisplay")));
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("cloneDisplay")));
    EXPECT_TRUE(host.calls.isEmpty());

    host.connected = true;
    arrangement.extendDisplaySelected();
    EXPECT_EQ(host.calls, QStringList({"send:waitASec", "stopStream"}));
    host.calls.clear();
    arrangement.cloneDisplay();
    EXPECT_EQ(host.calls, QStringList({"send:waitASec", "restart"}));
}

// The settings tool is looked up on PATH; a stand-in records that it was started.
TEST_F(DisplayArrangementTest, DisplaySettingsStartTheFirstInstalledTool) {
    const QString bin = tempPath(QStringLiteral("settings-bin"));
    ASSERT_TRUE(QDir().mkpath(bin));
    const QString marker = bin + QStringLiteral("/started");
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", bin.toLocal8Bit());
    EXPECT_FALSE(arrangement.launchDisplaySettings()); // nothing installed

    QFile tool(bin + QStringLiteral("/arandr"));
    ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
    tool.write(QStringLiteral("#!/bin/sh\necho \"$@\" > %1\n").arg(marker).toUtf8());
    tool.close();
    tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile xfce(bin + QStringLiteral("/xfce4-display-settings"));
    ASSERT_TRUE(xfce.open(QIODevice::WriteOnly)); // not executable: not a tool
    xfce.close();
    EXPECT_TRUE(arrangement.launchDisplaySettings());
    qputenv("PATH", savedPath);
    EXPECT_TRUE(waitUntil([&] { return QFile::exists(marker); }));
}

} // namespace
