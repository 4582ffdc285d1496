#include "DisplayFixture.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

using DisplayArrangementTest = DisplayTest;

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
    EXPECT_EQ(host.calls, QStringList({"send:waitASec"}));
    EXPECT_EQ(modes.size(), 1u) << "the stream restarts";
}

// The settings tool is looked up on PATH; a stand-in records that it was started.
TEST_F(DisplayArrangementTest, DisplaySettingsStartTheFirstInstalledTool) {
    const QString bin = tempPath(QStringLiteral("settings-bin"));
    ASSERT_TRUE(QDir().mkpath(bin));
    const QString marker = bin + QStringLiteral("/started");
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", bin.toLocal8Bit());
    EXPECT_FALSE(arrangement.launchDisplaySettings()); // nothing installed

    const QString tool = bin + QStringLiteral("/arandr");
    ASSERT_TRUE(writeFile(tool, QStringLiteral("#!/bin/sh\necho \"$@\" > %1\n").arg(marker).toUtf8()));
    QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(writeFile(bin + QStringLiteral("/xfce4-display-settings"), {})); // not executable: not a tool
    EXPECT_TRUE(arrangement.launchDisplaySettings());
    qputenv("PATH", savedPath);
    EXPECT_TRUE(waitUntil([&] { return QFile::exists(marker); }));
}

} // namespace
