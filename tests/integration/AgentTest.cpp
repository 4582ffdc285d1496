// The agent itself, and link-probe, on real sockets: usbmuxd-sim on a private socket, device-sim attached
// to it as a USB device, and build*/bin/zubpad on the test's X display with a configuration and runtime
// directory of its own.
#include "LinkRoad.h"
#include "fakes/SimProcess.h"
#include "fakes/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

namespace {

const QString kDeviceScript = QStringLiteral(
    "intro protocolVersion=1.0.9 hardwareString=iPad8,1 softwareString=ZubApp softwareVersion=2.0\n"
    "expect-text Version:.*\n"
    "timeout 20000\n"
    "expect-text appWillTerminate\n");

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        daemon_ = std::make_unique<SimProcess>(QStringLiteral("agent-usbmuxd-%1").arg(++count_));
        ASSERT_TRUE(daemon_->started()) << daemon_->transcript().toStdString();
        home_ = tempPath(QStringLiteral("agent-%1").arg(count_));
        QDir().mkpath(home_ + QStringLiteral("/config"));
        QDir().mkpath(home_ + QStringLiteral("/runtime"));
        ::chmod(QFile::encodeName(home_ + QStringLiteral("/runtime")).constData(), 0700);
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), QStringLiteral("UNIX:") + daemon_->path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_ + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_ + QStringLiteral("/runtime"));
        // No version document: the tests stay off the network.
        env.insert(QStringLiteral("ZUBPAD_VERSION_URL"),
                   QUrl::fromLocalFile(home_ + QStringLiteral("/none.xml")).toString());
        return env;
    }

    // The instances the agents have recorded.
    QString instanceRecord() const {
        QFile file(home_ + QStringLiteral("/runtime/zubpad/app.zubpad.agent.pids"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static inline int count_ = 0;
    std::unique_ptr<SimProcess> daemon_;
    QString home_;
};

} // namespace

// A second start ends the first instance, and the record then lists the second alone; the second links
// to the device and, at SIGHUP (SIGTERM ends the agent below), tells it "appWillTerminate" and ends
// with status 0.
TEST_F(AgentTest, ASecondStartEndsTheFirstAndSighupTellsTheDeviceAndEndsWithZero) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "the agent needs an X display";
    ChildProcess first(QStringLiteral("zubpad"), {}, environment());
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(waitUntil(
        [&] { return instanceRecord().startsWith(QString::number(first.processId()) + u' '); }, 20000))
        << first.transcript().toStdString();

    ChildProcess second(QStringLiteral("zubpad"), {}, environment());
    ASSERT_TRUE(second.started());
    ASSERT_TRUE(waitUntil([&] { return !first.running(); }, 20000)) << "the older instance is still running";
    EXPECT_EQ(first.exitStatus(), QProcess::CrashExit);
    DeviceSimProcess device(kDeviceScript, {QStringLiteral("--once")});
    ASSERT_TRUE(device.listening()) << device.process().transcript().toStdString();
    daemon_->command(QStringLiteral("attach 1 %1 SIM-1").arg(device.port()));
    ASSERT_TRUE(waitUntil(
        [&] { return !device.textsReceived().filter(QRegularExpression("^Version:")).isEmpty(); }, 20000))
        << second.transcript().toStdString();
    const QStringList listed = instanceRecord().split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(listed.size(), 1);
    EXPECT_TRUE(listed[0].startsWith(QString::number(second.processId()) + u' '));

    second.signal(SIGHUP);
    EXPECT_EQ(second.waitForExit(10000), std::optional<int>(0)) << second.transcript().toStdString();
    EXPECT_EQ(device.process().waitForExit(10000), std::optional<int>(0))
        << device.process().transcript().toStdString();
    EXPECT_TRUE(device.textsReceived().contains(QStringLiteral("appWillTerminate")));
}

TEST_F(AgentTest, LinkProbePlaysTheDemoWithTheDemoDevice) {
    QFile demoScript(QStringLiteral(ZUB_SOURCE_DIR "/tools/device-sim/scripts/link-demo.txt"));
    ASSERT_TRUE(demoScript.open(QIODevice::ReadOnly));
    DeviceSimProcess device(QString::fromUtf8(demoScript.readAll()), {"--once"});
    daemon_->command(QStringLiteral("attach 1 %1 SIM-1").arg(device.port()));
    ChildProcess probe(QStringLiteral("link-probe"), {"--timeout", "20"}, environment());
    EXPECT_EQ(probe.waitForExit(20000), 0) << probe.transcript().toStdString();
    const QString said = probe.transcript();
    for (const char* line :
         {"device attached: ID 1 (USB, serial SIM-1)", "link: up",
          "introduction: protocolVersion=1.0.9 hardwareString=iPad8,1 softwareString=ZubApp "
          "softwareVersion=2.0",
          "\"eventName\":\"ReadyToReceive\"", "\"text\":\"thanks\"", "link: ended cleanly"})
        EXPECT_TRUE(said.contains(QLatin1String(line))) << line << "\n" << said.toStdString();
    EXPECT_EQ(device.process().waitForExit(), 0) << device.process().transcript().toStdString();
}

// From a console or over SSH there is no display to reach: one line, and status 1 instead of Qt's abort.
TEST(AgentStartTest, WithoutADesktopSessionItSaysSoInOneLineAndEndsWithOne) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    ChildProcess agent(QStringLiteral("zubpad"), {}, env);
    ASSERT_TRUE(agent.started());
    EXPECT_EQ(agent.waitForExit(10000), std::optional<int>(1)) << agent.transcript().toStdString();
    EXPECT_EQ(agent.transcript(),
              QStringLiteral("zubpad: needs a desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set)"));
}

TEST_F(AgentTest, AMissingDaemonIsSaidOnceWhileItIsRetried) {
    QProcessEnvironment env = environment();
    const QString socket = home_ + QStringLiteral("/no-usbmuxd");
    env.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), QStringLiteral("UNIX:") + socket);
    ChildProcess agent(QStringLiteral("zubpad"), {}, env);
    ASSERT_TRUE(agent.started());
    const QRegularExpression notRunning(
        QStringLiteral("usbmuxd is not running at %1 .*: retrying every second$")
            .arg(QRegularExpression::escape(socket)));
    ASSERT_FALSE(agent.waitForLine(notRunning, 20000).isNull()) << agent.transcript().toStdString();
    // Three more tries, and no more lines.
    spinEventLoop(3000);
    EXPECT_EQ(agent.transcript().split(u'\n').filter(notRunning).size(), 1)
        << agent.transcript().toStdString();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(10000), std::optional<int>(0)) << agent.transcript().toStdString();
}
