#pragma once

#include "base/Error.h"
#include "platform/Workspace.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <ctime>
#include <functional>
#include <optional>
#include <sys/types.h>
#include <vector>

inline const QString kDesktopEntryErrorDomain = QStringLiteral("DesktopEntry");

// What the agent needs of one freedesktop.org desktop entry to name the application a window belongs
// to: its Name in every language, the window class it promises (StartupWMClass) and the program it runs.
struct DesktopEntry {
    QString id;                    // the desktop-file ID without ".desktop"; set by whoever read the file
    QHash<QString, QString> names; // Name by locale ("de_DE", "de", ...); "" holds the untranslated one
    QString startupWMClass;
    QString program;     // base name of the program Exec starts, past `env` and its settings
    bool hidden = false; // Hidden=true: the entry counts as deleted, and hides its ID in later directories
    bool operator==(const DesktopEntry&) const = default;
};

// Reads the "Desktop Entry" group of a desktop file. Files that are no desktop entry, describe no
// application (Type=Link, Directory) or are larger than any real one are errors; lines that do not
// parse are skipped as the desktop's own readers do.
std::optional<DesktopEntry> parseDesktopEntry(const QByteArray& bytes, OptError* error = nullptr);
// The bytes of a desktop file, at most one more than any real entry has; nothing for what is not a
// regular file (a FIFO would block) or cannot be read.
std::optional<QByteArray> readDesktopEntryFile(const QString& path);

// The base name of the program an Exec line runs: its first argument, unquoted, after any `env`
// with its options and VAR=value settings. Empty when there is none.
QString execProgram(const QString& exec);

// The value for `locale` (POSIX form: ll_CC.ENCODING@MODIFIER) among values keyed by locale, tried
// as ll_CC@MODIFIER, ll_CC, ll@MODIFIER, ll, then the untranslated one ("").
QString localizedValue(const QHash<QString, QString>& values, const QString& locale);

// What a window says about the application that made it.
struct WindowIdentity {
    QString applicationId;           // the desktop-file ID the toolkit announced, if any
    QString instanceName, className; // the window class
    QStringList executables;         // base names of the program of the window's process
};

// The installed desktop entries, indexed by desktop-file ID with earlier directories winning, read
// once and read again when one of their directories changes. Used on one thread.
class DesktopEntries {
public:
    // $XDG_DATA_HOME/applications, then each $XDG_DATA_DIRS/applications, with the usual defaults.
    static QStringList userApplicationDirectories();
    // The locale messages are shown in: LC_ALL, else LC_MESSAGES, else LANG.
    static QString userLocale();
    // Base names of the program a process runs (/proc/PID/exe) and of the name it was started
    // under (its first argument); empty when the process is gone or not readable.
    static QStringList executableNames(pid_t pid);

    explicit DesktopEntries(QStringList directories = userApplicationDirectories(),
                            QString locale = userLocale());
    // The index points into the entries it holds: moving keeps them where they are, copying would not.
    DesktopEntries(DesktopEntries&&) = default;
    DesktopEntries& operator=(DesktopEntries&&) = default;
    DesktopEntries(const DesktopEntries&) = delete;
    DesktopEntries& operator=(const DesktopEntries&) = delete;

    // The application of a window: the identifier is the announced desktop-file ID, else the ID of
    // the entry whose StartupWMClass names the window class (instance first), else of the entry
    // whose Exec runs the window's program, else the window class as it stands; the name is that
    // entry's Name in the user's locale, else the window class.
    FrontmostApplicationInfo applicationOf(const WindowIdentity& window);
    // The entry with that desktop-file ID (with or without ".desktop"), nullptr for none or hidden.
    const DesktopEntry* entry(const QString& id);

private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        timespec modified{};
        bool operator==(const Stamp& o) const {
            return device == o.device && inode == o.inode && modified.tv_sec == o.modified.tv_sec &&
                   modified.tv_nsec == o.modified.tv_nsec;
        }
    };
    struct Directory {
        QString path;
        // The directory and every subdirectory read, with what they looked like when they were read:
        // adding, removing or renaming an entry anywhere in the tree changes one of them.
        std::vector<std::pair<QString, Stamp>> stamps;
        std::vector<DesktopEntry> entries; // sorted by ID
        bool read = false;
    };

    void refresh();
    static void readDirectory(Directory& directory);
    const DesktopEntry* visibleEntry(const QString& id) const;
    const DesktopEntry* firstMatching(const std::function<bool(const DesktopEntry&)>& test) const;

    std::vector<Directory> directories_;
    QString locale_;
    QHash<QString, const DesktopEntry*> byId_; // hidden entries included: they hide later ones
    std::vector<const DesktopEntry*> visible_; // in precedence order
};
