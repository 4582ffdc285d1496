#include "platform/linux/DesktopEntries.h"

#include "fakes/TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

QByteArray entry(const QByteArray& keys) {
    return "# written by a test\n[Desktop Entry]\nType=Application\n" + keys;
}

// Moves a directory's modification time forward, as a second write in the same clock tick would not.
void touchDirectory(const QString& path, int seconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

} // namespace

TEST(DesktopEntriesTest, ParsesTheApplicationGroupAndRefusesWhatIsNoApplication) {
    const struct {
        QByteArray file;
        std::optional<DesktopEntry> expected;
        int errorCode;
    } cases[] = {
        {"\xef\xbb\xbf[Desktop Entry]\r\n# c\r\nName = Paint\\sPro \r\nName[de]=Malen\r\nName=Twice\r\n"
         "Exec=\"/opt/Paint Pro/paint\" %F\r\n[Desktop Action New]\r\nName=New\r\nStartupWMClass=x\r\n",
         DesktopEntry{{}, {{"", "Paint Pro"}, {"de", "Malen"}}, {}, "paint", false}, 0},
        {"[Other]\nName=Before\n[Desktop Entry]\nHidden=true\nStartupWMClass=Tool\nbroken line\n=x\nNa "
         "me=y\n",
         DesktopEntry{{}, {}, "Tool", {}, true}, 0},
        {"Name=No group\n", std::nullopt, 2},
        {QByteArray("\x00\xff\xfe[Desktop", 11), std::nullopt, 2},
        {"[Desktop Entry]\nType=Link\nURL=https://example.org\n", std::nullopt, 3},
        {entry("Name=" + QByteArray(2 << 20, 'x')), std::nullopt, 1},
    };
    for (const auto& c : cases) {
        OptError error;
        EXPECT_EQ(parseDesktopEntry(c.file, &error), c.expected) << c.file.left(60).toStdString();
        EXPECT_EQ(error ? error->code : 0, c.errorCode) << c.file.left(60).toStdString();
    }
}

TEST(DesktopEntriesTest, NamesTheApplicationOfAWindow) {
    const QString home = freshTempPath(QStringLiteral("data-home-")) + QStringLiteral("/applications");
    const QString first = freshTempPath(QStringLiteral("data-")) + QStringLiteral("/applications");
    const QString last = freshTempPath(QStringLiteral("data-")) + QStringLiteral("/applications");
    const std::pair<QString, QByteArray> files[] = {
        {home + "/krita.desktop", entry("Name=Krita (mine)\nExec=krita --nosplash %F\n")},
        {home + "/shadowed.desktop", entry("Hidden=true\n")},
        {home + "/org.example.Draw.desktop",
         entry("Name=Draw\nName[de]=Zeichnen\nName[de_DE@euro]=Zeichnen €\n")},
        {first + "/kde4/okular.desktop",
         entry("Name=Okular\nName[de_DE]=Okular DE\nStartupWMClass=okular\n")},
        {first + "/wine/Programs/Adobe Photoshop 2021.desktop",
         entry("Name=Adobe Photoshop 2021\nExec=env WINEPREFIX=\"/home/u/.wine\" wine "
               "C:\\\\\\\\windows\\\\\\\\start.exe /Unix /home/u/ps.lnk\nStartupWMClass=photoshop.exe\n")},
        {first + "/mypaint.desktop", entry("Name=MyPaint A\nExec=env -u GTK_MODULES -i LANG=C "
                                           "\"/opt/My Paint/mypaint\" -f %U\n")},
        {first + "/google-chrome.desktop", entry("Name=Chrome\nStartupWMClass=Google-chrome\n")},
        {first + "/web-whiteboard.desktop", entry("Name=Whiteboard\nStartupWMClass=crx_abc\n")},
        {first + "/broken.desktop", QByteArray("\x7f"
                                               "ELF\x00\x01[Desktop",
                                               12)},
        {first + "/link.desktop", "[Desktop Entry]\nType=Link\nName=A link\nStartupWMClass=linkclass\n"},
        {first + "/notes.txt", entry("Name=Not an entry\nStartupWMClass=notes\n")},
        {last + "/krita.desktop", entry("Name=Krita\nName[de]=Krita DE\nStartupWMClass=krita\n")},
        {last + "/mypaint.desktop", entry("Name=MyPaint B\n")},
        {last + "/shadowed.desktop", entry("Name=Shadowed\nStartupWMClass=shadow\n")},
        {last + "/GIMP.desktop", entry("Name=GNU Image Manipulation Program\nName[de]=GIMP DE\n"
                                       "StartupWMClass=Gimp-2.10\nExec=gimp-2.10 %U\n")},
        {last + "/foo.desktop", entry("Name=Foo\nExec=python3 /usr/share/foo/foo.py\n")},
    };
    for (const auto& [path, bytes] : files)
        ASSERT_TRUE(writeFile(path, bytes)) << path.toStdString();
    // What a careless tree holds: a pipe that would block a plain read, and a link back up.
    ASSERT_EQ(::mkfifo(QFile::encodeName(first + "/fifo.desktop").constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(first, first + "/loop"));

    const QString de = QStringLiteral("de_DE.UTF-8@euro");
    const struct {
        const char* what;
        QString locale;
        WindowIdentity window;
        FrontmostApplicationInfo expected;
    } cases[] = {
        {"class, any case", de, {{}, "gimp", "gimp-2.10", {}}, {"GIMP", "GIMP DE"}},
        {"instance before class", {}, {{}, "crx_abc", "Google-chrome", {}}, {"web-whiteboard", "Whiteboard"}},
        {"announced ID", de, {"org.example.Draw", "draw", "Draw", {}}, {"org.example.Draw", "Zeichnen €"}},
        {"announced as a file",
         "de_AT",
         {"/usr/share/applications/org.example.Draw.desktop", {}, {}, {}},
         {"org.example.Draw", "Zeichnen"}},
        {"announced without entry",
         de,
         {"org.example.None", "none", "None", {}},
         {"org.example.None", "None"}},
        {"subdirectory", "de_DE", {{}, "okular", "okular", {}}, {"kde4-okular", "Okular DE"}},
        {"wine entry",
         "C",
         {{}, "photoshop.exe", "photoshop.exe", {"wine64-preloader", "Photoshop.exe"}},
         {"wine-Programs-Adobe Photoshop 2021", "Adobe Photoshop 2021"}},
        {"wine, no entry",
         de,
         {{}, "clipstudiopaint.exe", "clipstudiopaint.exe", {}},
         {"clipstudiopaint.exe", "clipstudiopaint.exe"}},
        {"exec past env settings",
         de,
         {{}, "mypaint", "Mypaint", {"python3.11", "mypaint"}},
         {"mypaint", "MyPaint A"}},
        {"exec with arguments", "fr_FR", {{}, "krita", "Krita", {"krita"}}, {"krita", "Krita (mine)"}},
        {"interpreter names nothing", de, {{}, "foo", "Foo", {"python3"}}, {"Foo", "Foo"}},
        {"hidden hides later", de, {{}, "shadow", "Shadow", {}}, {"Shadow", "Shadow"}},
        {"links, junk, other files", de, {{}, "linkclass", "Linkclass", {"ELF"}}, {"Linkclass", "Linkclass"}},
        {"not an entry file", de, {{}, "notes", "", {}}, {"notes", "notes"}},
    };
    for (const auto& c : cases) {
        DesktopEntries entries({home, first, last}, c.locale);
        EXPECT_EQ(entries.applicationOf(c.window), c.expected) << c.what;
    }
}

TEST(DesktopEntriesTest, ReadsADirectoryAgainWhenItChanges) {
    const QString dir = freshTempPath(QStringLiteral("data-")) + QStringLiteral("/applications");
    ASSERT_TRUE(writeFile(dir + "/tools/old.desktop", entry("Name=Old\nStartupWMClass=old\n")));
    DesktopEntries entries({dir, freshTempPath(QStringLiteral("missing-"))}, {});
    ASSERT_NE(entries.entry(QStringLiteral("tools-old")), nullptr);
    EXPECT_EQ(entries.entry(QStringLiteral("tools-new")), nullptr);

    // A file added below the top directory changes only its own directory.
    ASSERT_TRUE(writeFile(dir + "/tools/new.desktop", entry("Name=New\n")));
    touchDirectory(dir + "/tools", 10);
    ASSERT_NE(entries.entry(QStringLiteral("tools-new.desktop")), nullptr);
    EXPECT_EQ(entries.entry(QStringLiteral("tools-new"))->names.value(QString()), QStringLiteral("New"));

    ASSERT_TRUE(QFile::remove(dir + "/tools/old.desktop"));
    touchDirectory(dir + "/tools", 20);
    EXPECT_EQ(entries.entry(QStringLiteral("tools-old")), nullptr);
    EXPECT_EQ(entries.applicationOf({{}, "old", "Old", {}}), (FrontmostApplicationInfo{"Old", "Old"}));
}
