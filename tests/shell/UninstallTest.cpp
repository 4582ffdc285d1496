#include "base/Bundle.h"
#include "base/UserDefaults.h"
#include "fakes/FakeDesktop.h"
#include "fakes/TestSupport.h"
#include "platform/linux/DpkgPackages.h"
#include "platform/linux/Polkit.h"
#include "platform/linux/XdgAutostart.h"
#include "shell/AppUninstaller.h"
#include "shell/BLAuthentication.h"
#include "shell/LaunchAtLoginController.h"
#include "shell/Settings.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

// Every file (not folder) under `root`, relative to it.
QStringList filesUnder(const QString& root) {
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

// An installation under hostile names: what `cmake --install` of this build places under the prefix,
// the user's settings and autostart entry under the config folder, and one file of somebody else's in
// each that must stay.
struct InstalledTree {
    InstalledTree() {
        const QString root = freshTempPath(QStringLiteral("-install \n'$(x)'"));
        prefix = root + QStringLiteral("/-pre fix\n\"*\"");
        config = root + QStringLiteral("/--config home");
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral("cmake"), {QStringLiteral("--install"), binDir() + QStringLiteral("/.."),
                                                QStringLiteral("--prefix"), prefix});
        EXPECT_TRUE(install.waitForFinished(60000) && install.exitCode() == 0)
            << install.readAll().toStdString();
        agent = prefix + QStringLiteral("/bin/zubpad");
        settings = config + QStringLiteral("/zubpad/zubpad.plist");
        EXPECT_TRUE(writeFile(settings, "<plist/>") && writeFile(settings + ".damaged", "x"));
        EXPECT_TRUE(writeFile(config + QStringLiteral("/autostart/zubpad.desktop"),
                              "[Desktop Entry]\nType=Application\nExec=zubpad\n"));
        EXPECT_TRUE(writeFile(prefix + QStringLiteral("/share/applications/other.desktop"), "x"));
        EXPECT_TRUE(writeFile(config + QStringLiteral("/autostart/other.desktop"), "x"));
    }
    QStringList all() const { return filesUnder(prefix) + filesUnder(config); }

    QString prefix, config, agent, settings;
};

const QStringList kOthers = {QStringLiteral("share/applications/other.desktop"),
                             QStringLiteral("autostart/other.desktop")};

int runScript(const QStringList& args, QByteArray* errors = nullptr) {
    QProcess sh;
    sh.start(QStringLiteral("/bin/sh"),
             QStringList{QStringLiteral("-c"),
                         QString::fromUtf8(Bundle::main().resourceData(QStringLiteral("uninstall_zubpad"),
                                                                       QStringLiteral("sh"))),
                         QStringLiteral("uninstall_zubpad")} +
                 args);
    if (!sh.waitForFinished(10000)) return -1;
    if (errors) *errors = sh.readAllStandardError();
    return sh.exitCode();
}

} // namespace

// The script removes all the install placed and the user's files, and nothing of anybody else's; a
// path outside its folder, relative or with "." or ".." parts is refused before anything goes.
TEST(UninstallScriptTest, RemovesOursAndRefusesPathsOutside) {
    const InstalledTree tree;
    const QStringList installed = tree.all();
    ASSERT_TRUE(installed.contains("bin/zubpad") &&
                installed.contains("lib/udev/rules.d/70-zubpad-uinput.rules"))
        << installed.join(' ').toStdString();
    const QString p = tree.prefix, c = tree.config, a = tree.agent, s = tree.settings;
    struct Row {
        const char* name;
        QStringList args;
    };
    // clang-format off
    const Row refusals[] = {
        {"too few", {p, c, a}},
        {"relative prefix", {QDir(QDir::currentPath()).relativeFilePath(p), c, a, s}},
        {"the root as prefix", {"/", c, "/bin/zubpad", s}},
        {"agent outside the prefix", {p, c, tempPath("zubpad"), s}},
        {"agent through ..", {p, c, p + "/../" + QFileInfo(p).fileName() + "/bin/zubpad", s}},
        {"agent through .", {p, c, p + "/./bin/zubpad", s}},
        {"agent is the prefix", {p, c, p + "/", s}},
        {"not the agent", {p, c, p + "/share/applications/other.desktop", s}},
        {"settings outside the config", {p, c, a, p + "/zubpad.plist"}},
        {"settings not a plist", {p, c, a, c + "/autostart/other.desktop"}},
        {"prefix not a folder", {a, c, a, s}},
        {"prefix with a doubled slash", {QFileInfo(p).path() + "//" + QFileInfo(p).fileName(), c, a, s}},
    };
    // clang-format on
    for (const Row& row : refusals) {
        SCOPED_TRACE(row.name);
        QByteArray errors;
        EXPECT_EQ(runScript(row.args, &errors), 2);
        EXPECT_TRUE(errors.startsWith("uninstall_zubpad: ")) << errors.toStdString();
        EXPECT_EQ(tree.all(), installed);
    }
    // Trailing slashes on the folders are the same folders.
    EXPECT_EQ(runScript({p + "/", c + "//", a, s}), 0);
    EXPECT_EQ(tree.all(), kOthers);
    EXPECT_FALSE(QFileInfo::exists(c + "/zubpad"));
}

// Debian's answer names the owner of exactly that path, by its name alone.
TEST(UninstallTest, ReadsTheOwningPackage) {
    const QString path = QStringLiteral("/usr/bin/zubpad");
    const std::vector<std::pair<QByteArray, std::optional<QString>>> rows = {
        {"zubpad: /usr/bin/zubpad\n", "zubpad"},
        {"zubpad:amd64: /usr/bin/zubpad\n", "zubpad"},
        {"diversion by zz from: /usr/bin/zubpad\nzubpad, other: /usr/bin/zubpad\n", "zubpad"},
        {"zubpad: /usr/bin/zubpad-helper\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [output, package] : rows)
        EXPECT_EQ(DpkgPackages::packageInSearchOutput(output, path), package) << output.toStdString();
    DpkgPackages dpkg;
    EXPECT_EQ(dpkg.owningPackage(QStringLiteral("/no/such/file")), std::nullopt);
}

// Uninstall end to end over polkit, with pkcheck, pkexec and dpkg-query replaced by scripts: every
// refusal leaves program, settings and login item as they were; once allowed, all goes and the
// process ends with 0.
TEST(UninstallTest, ARefusalChangesNothing) {
    struct Row {
        const char* name;
        int pkcheck, pkcheckAsking; // their statuses: 0 allowed
        int pkexec;                 // -1 runs the command, else its status
        const char* package;        // dpkg-query's owner, nullptr: none
        bool removed;
        const char* log; // the fake programs called, in order
    };
    // clang-format off
    const Row rows[] = {
        {"dialog cancelled", 1, 1, -1, nullptr, false, "pkcheck pkcheck-asking"},
        {"pkexec's dialog cancelled", 1, 0, Polkit::kDismissed, nullptr, false, "pkcheck pkcheck-asking pkexec"},
        {"pkexec not authorised", 0, 0, Polkit::kNotAuthorized, nullptr, false, "pkcheck pkexec"},
        {"installed by the package manager", 0, 0, -1, "zubpad", false, ""},
        {"allowed at once", 0, 0, -1, nullptr, true, "pkcheck pkexec"},
        {"allowed after asking", 1, 0, -1, nullptr, true, "pkcheck pkcheck-asking pkexec"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const InstalledTree tree;
        const QString bin = freshTempPath(QStringLiteral("fake-bin"));
        const QString log = bin + QStringLiteral("/log");
        auto fake = [&](const QString& name, const QString& body) {
            const QString path = bin + u'/' + name;
            EXPECT_TRUE(writeFile(path, "#!/bin/sh\n" + body.toUtf8() + "\n"));
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            return path;
        };
        const QString pkcheck =
            fake("pkcheck",
                 QStringLiteral(
                     "case \" $* \" in *' --allow-user-interaction '*) printf 'pkcheck-asking ' >>'%1'; "
                     "exit %2;; esac; printf 'pkcheck ' >>'%1'; exit %3")
                     .arg(log)
                     .arg(row.pkcheckAsking)
                     .arg(row.pkcheck));
        const QString pkexec =
            fake("pkexec", QStringLiteral("printf 'pkexec ' >>'%1'; ").arg(log) +
                               (row.pkexec < 0 ? QStringLiteral("exec \"$@\"")
                                               : QStringLiteral("exit %1").arg(row.pkexec)));
        EXPECT_TRUE(writeFile(
            bin + "/owner", row.package ? QByteArray(row.package) + ": " + tree.agent.toUtf8() + "\n" : ""));
        const QString dpkg = fake("dpkg-query", QStringLiteral("cat '%1/owner'; [ -s '%1/owner' ]").arg(bin));
        Polkit polkit(pkexec, pkcheck, false);
        BLAuthentication authentication(polkit);
        DpkgPackages packages(dpkg);
        UserDefaults defaults(tree.settings);
        defaults.setBool(true, DefaultsKey::launchAtLogin);
        XdgAutostart autostart(QStringLiteral("Zub Pad"), tree.config + QStringLiteral("/autostart"));
        LaunchAtLoginController loginItems(autostart, tree.agent);
        const QStringList before = tree.all();
        FakeAlerts alerts;
        std::vector<int> exits;
        AppUninstaller uninstaller({authentication, packages, defaults, alerts, &loginItems,
                                    [&](int status) { exits.push_back(status); }},
                                   {tree.agent, tree.prefix, tree.config});
        uninstaller.uninstall();
        ASSERT_TRUE(waitUntil([&] { return !uninstaller.inProgress(); }, 10000));
        QFile logFile(log);
        logFile.open(QIODevice::ReadOnly);
        EXPECT_EQ(QString::fromUtf8(logFile.readAll()).trimmed(), row.log);
        EXPECT_EQ(exits, row.removed ? std::vector<int>{0} : std::vector<int>{});
        EXPECT_EQ(tree.all(), row.removed ? kOthers : before);
        EXPECT_EQ(loginItems.launchAtLogin(), !row.removed);
        if (!row.removed) {
            EXPECT_TRUE(defaults.boolForKey(DefaultsKey::launchAtLogin));
        }
        ASSERT_EQ(alerts.shown.size(), row.package ? 1u : 0u);
        if (row.package) {
            EXPECT_TRUE(alerts.shown[0].informativeText.contains("sudo apt remove zubpad"));
        }
    }
}

// Cutting off arguments would run another command: more than the most are refused, nothing run.
TEST(UninstallTest, TooManyArgumentsRunNothing) {
    const QString marker = freshTempPath(QStringLiteral("ran"));
    // As the administrator: the command runs as it stands.
    Polkit polkit(QStringLiteral("pkexec"), QStringLiteral("pkcheck"), true);
    BLAuthentication authentication(polkit);
    for (const int count : {BLAuthentication::kMaxArguments, BLAuthentication::kMaxArguments + 1}) {
        SCOPED_TRACE(count);
        QStringList args{QStringLiteral("-c"), QStringLiteral("touch \"$0\""), marker};
        while (args.size() < count)
            args << QStringLiteral("x");
        std::optional<Privileged::Result> result;
        authentication.executeCommand(QStringLiteral("/bin/sh"), args,
                                      [&](Privileged::Result r) { result = r; });
        ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
        const bool allowed = count <= BLAuthentication::kMaxArguments;
        EXPECT_EQ(result->outcome, allowed ? Privileged::Outcome::Ran : Privileged::Outcome::Failed);
        EXPECT_EQ(QFile::exists(marker), allowed);
        QFile::remove(marker);
    }
}
