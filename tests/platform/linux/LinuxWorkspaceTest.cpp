#include "platform/linux/LinuxWorkspace.h"

#include "fakes/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QString kId = QStringLiteral("app.zubpad.agent");

void writeRecord(const QString& dir, const QByteArray& text) {
    ASSERT_TRUE(writeFile(dir + QStringLiteral("/app.zubpad.agent.pids"), text));
    ::chmod(QFile::encodeName(dir).constData(), 0700);
}

QByteArray line(qint64 pid, quint64 start) {
    return QByteArray::number(pid) + ' ' + QByteArray::number(start) + '\n';
}

std::vector<qint64> pids(const std::vector<RunningApplication>& apps) {
    std::vector<qint64> out;
    for (const RunningApplication& app : apps)
        out.push_back(app.processIdentifier);
    return out;
}

// A live process that is not us.
class Sleeper {
public:
    Sleeper() {
        process.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        process.waitForStarted();
    }
    ~Sleeper() {
        process.kill();
        process.waitForFinished();
    }
    qint64 pid() const { return process.processId(); }
    QProcess process;
};

} // namespace

// Lines of ended processes, of pids now held by another process (same pid, other start time) and lines
// no instance writes drop out; the instances left are listed once, in launch order, and so rewritten.
TEST(LinuxWorkspaceTest, LiveInstancesAreListedOnceInLaunchOrderAndTheRestDropsOut) {
    const QString dir = freshTempPath(QStringLiteral("runtime-"));
    Sleeper older;
    ASSERT_GT(older.pid(), 0);
    qint64 ended = 0;
    {
        Sleeper gone;
        ended = gone.pid();
    }
    const qint64 self = ::getpid();
    const quint64 selfStart = *LinuxWorkspace::processStartTime(self);
    writeRecord(dir, line(self, selfStart + 1) + line(ended, 12345) + "garbage\n-5 7\n\n" +
                         line(older.pid(), *LinuxWorkspace::processStartTime(older.pid())));

    LinuxWorkspace workspace(dir);
    ASSERT_FALSE(workspace.registerRunningApplication(kId));
    ASSERT_FALSE(workspace.registerRunningApplication(kId));
    EXPECT_EQ(pids(workspace.runningApplicationsWithBundleIdentifier(kId)),
              (std::vector<qint64>{older.pid(), self}));
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier(QStringLiteral("other.app")).empty());
    EXPECT_EQ(workspace.runningApplicationsWithBundleIdentifier(kId).front().bundleIdentifier, kId);
    QFile file(dir + QStringLiteral("/app.zubpad.agent.pids"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(),
              line(older.pid(), *LinuxWorkspace::processStartTime(older.pid())) + line(self, selfStart));
}

TEST(LinuxWorkspaceTest, ForceTerminateEndsOnlyTheRecordedInstance) {
    const QString dir = freshTempPath(QStringLiteral("runtime-"));
    Sleeper instance, stranger, reused;
    // `reused` stands for a process that got a recorded pid after the instance ended.
    writeRecord(dir, line(instance.pid(), *LinuxWorkspace::processStartTime(instance.pid())) +
                         line(reused.pid(), *LinuxWorkspace::processStartTime(reused.pid()) - 1));
    LinuxWorkspace workspace(dir);

    EXPECT_FALSE(workspace.forceTerminate({stranger.pid(), kId}));
    EXPECT_FALSE(workspace.forceTerminate({reused.pid(), kId}));
    EXPECT_TRUE(workspace.forceTerminate({instance.pid(), kId}));
    ASSERT_TRUE(instance.process.waitForFinished(5000));
    EXPECT_EQ(instance.process.exitStatus(), QProcess::CrashExit);
    EXPECT_EQ(stranger.process.state(), QProcess::Running);
    EXPECT_EQ(reused.process.state(), QProcess::Running);
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier(kId).empty());
}

// A directory others may write to, or a link planted where the directory should be, gets no record;
// nor can an identifier lead the record out of its directory. Start times are those of live processes.
TEST(LinuxWorkspaceTest, TheRecordStaysInAPrivateDirectoryOfItsOwn) {
    const QString shared = freshTempPath(QStringLiteral("runtime-"));
    QDir().mkpath(shared);
    ::chmod(QFile::encodeName(shared).constData(), 0777);
    LinuxWorkspace workspace(shared);
    const OptError error = workspace.registerRunningApplication(kId);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EPERM);
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier(kId).empty());
    const QString link = freshTempPath(QStringLiteral("runtime-"));
    ASSERT_TRUE(QFile::link(freshTempPath(QStringLiteral("runtime-")), link));
    EXPECT_TRUE(LinuxWorkspace(link).registerRunningApplication(kId));

    const QString dir = freshTempPath(QStringLiteral("runtime-"));
    ASSERT_FALSE(LinuxWorkspace(dir).registerRunningApplication(QStringLiteral("../../escape")));
    EXPECT_FALSE(QFile::exists(dir + QStringLiteral("/../../escape.pids")));
    EXPECT_EQ(QDir(dir).entryList(QDir::Files).size(), 1);

    EXPECT_FALSE(LinuxWorkspace::processStartTime(0).has_value());
    EXPECT_FALSE(LinuxWorkspace::processStartTime(-1).has_value());
}

// Windows programs under Wine keep their settings in each prefix's roaming application data; a prefix
// given twice (WINEPREFIX is ~/.wine) counts once.
TEST(LinuxWorkspaceTest, PreferencesRootsAreTheWinePrefixesProgramFolders) {
    const QString home = freshTempPath(QStringLiteral("home"));
    const QString prefix = freshTempPath(QStringLiteral("prefix"));
    const QString modern =
        prefix + QStringLiteral("/drive_c/users/alice/AppData/Roaming/Adobe/Adobe Photoshop 2020");
    const QString old =
        home + QStringLiteral("/.wine/drive_c/users/bob/Application Data/Adobe/Adobe Photoshop CC 2019");
    const QString other = home + QStringLiteral("/.wine/drive_c/users/bob/AppData/Roaming/Maker/Program");
    for (const QString& dir : {modern, old, other})
        ASSERT_TRUE(QDir().mkpath(dir));
    ASSERT_TRUE(writeFile(prefix + QStringLiteral("/drive_c/users/alice/AppData/Roaming/Adobe/a file"), "x"));

    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedPrefix = qgetenv("WINEPREFIX");
    qputenv("HOME", QFile::encodeName(home));
    for (const QString& winePrefix : {prefix, home + QStringLiteral("/.wine")}) {
        qputenv("WINEPREFIX", QFile::encodeName(winePrefix));
        QStringList roots = LinuxWorkspace(tempPath(QStringLiteral("run"))).applicationPreferencesRoots();
        roots.sort();
        QStringList expected{QDir(old).canonicalPath(), QDir(other).canonicalPath()};
        if (winePrefix == prefix) expected << QDir(modern).canonicalPath();
        expected.sort();
        EXPECT_EQ(roots, expected);
    }
    qputenv("HOME", savedHome);
    if (savedPrefix.isNull())
        qunsetenv("WINEPREFIX");
    else
        qputenv("WINEPREFIX", savedPrefix);
}
