#include "platform/linux/DesktopEntries.h"

#include "base/Logging.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Real entries stay far below this even with every translation; anything larger is not one of them.
constexpr qsizetype kMaxEntryBytes = 1 << 20;
// Bounds on a tree someone may have filled with links back into itself or with junk.
constexpr int kMaxDepth = 8;
constexpr int kMaxFilesPerDirectory = 20000;
// An identifier announced by a window is a file name: anything longer is not one.
constexpr qsizetype kMaxIdLength = 255;

OptError entryError(int code, const QString& text) {
    return Error::make(kDesktopEntryErrorDomain, code, text);
}

QString baseName(const QString& path) {
    return path.mid(path.lastIndexOf(u'/') + 1);
}

// The escapes of string values; an unknown one is kept as it stands.
QString unescape(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != u'\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        switch (value[++i].unicode()) {
        case 's':
            out += u' ';
            break;
        case 'n':
            out += u'\n';
            break;
        case 't':
            out += u'\t';
            break;
        case 'r':
            out += u'\r';
            break;
        case '\\':
            out += u'\\';
            break;
        default:
            out += c, out += value[i];
        }
    }
    return out;
}

// Arguments of an Exec line: separated by blanks, double quotes group, and inside them a backslash
// takes the next character literally.
QStringList splitExec(const QString& exec) {
    QStringList args;
    QString current;
    bool inQuotes = false, inArgument = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (inQuotes) {
            if (c == u'\\' && i + 1 < exec.size())
                current += exec[++i];
            else if (c == u'"')
                inQuotes = false;
            else
                current += c;
        } else if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inArgument) args << current;
            current.clear();
            inArgument = false;
        } else {
            if (c == u'"')
                inQuotes = true;
            else
                current += c;
            inArgument = true;
        }
    }
    if (inArgument) args << current;
    return args;
}

bool isAssignment(const QString& arg) {
    const qsizetype eq = arg.indexOf(u'=');
    if (eq <= 0) return false;
    for (qsizetype i = 0; i < eq; ++i) {
        const QChar c = arg[i];
        const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_';
        if (!letter && !(i > 0 && c >= u'0' && c <= u'9')) return false;
    }
    return true;
}

// Programs that run other programs: a window of theirs is no more the application of one entry that
// starts them than of any other (every Java program runs as "java"). Versions are ignored
// ("python3.11", "wine64").
bool runsOtherPrograms(QString program) {
    while (!program.isEmpty() && (program.back().isDigit() || program.back() == u'.'))
        program.chop(1);
    static const QStringList launchers = {
        QStringLiteral("sh"),         QStringLiteral("bash"),   QStringLiteral("dash"),
        QStringLiteral("zsh"),        QStringLiteral("env"),    QStringLiteral("python"),
        QStringLiteral("perl"),       QStringLiteral("ruby"),   QStringLiteral("java"),
        QStringLiteral("mono"),       QStringLiteral("node"),   QStringLiteral("wine"),
        QStringLiteral("flatpak"),    QStringLiteral("snap"),   QStringLiteral("xdg-open"),
        QStringLiteral("gtk-launch"), QStringLiteral("pkexec"), QStringLiteral("sudo"),
        QStringLiteral("electron"),
    };
    return launchers.contains(program);
}

bool isKeyName(QByteArrayView key) {
    if (key.isEmpty()) return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

bool isTrue(QByteArrayView value) {
    // "1" is what entries written before the format settled on "true" say.
    return value == "true" || value == "1";
}

// A desktop-file ID as windows announce it: bare, with ".desktop", or as a path to the file.
QString normalisedId(const QString& announced) {
    QString id = baseName(announced);
    if (id.endsWith(QLatin1String(".desktop"))) id.chop(8);
    if (id.isEmpty() || id.size() > kMaxIdLength) return {};
    for (QChar c : id)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) return {};
    return id;
}

struct FileStamp {
    bool exists = false;
    struct stat st {};
};

FileStamp statOf(const QString& path) {
    FileStamp s;
    s.exists = ::stat(QFile::encodeName(path).constData(), &s.st) == 0;
    return s;
}

} // namespace

std::optional<QByteArray> readDesktopEntryFile(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<QByteArray> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        bytes.emplace();
        char buffer[16384];
        while (bytes->size() <= kMaxEntryBytes) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            bytes->append(buffer, n);
        }
    }
    ::close(fd);
    return bytes;
}

std::optional<DesktopEntry> parseDesktopEntry(const QByteArray& bytes, OptError* error) {
    auto fail = [error](int code, const QString& text) {
        if (error) *error = entryError(code, text);
        return std::nullopt;
    };
    if (bytes.size() > kMaxEntryBytes) return fail(1, QStringLiteral("larger than any desktop entry"));

    DesktopEntry entry;
    QByteArray type;
    bool seenGroup = false, inGroup = false;
    QString exec;
    bool seenExec = false, seenHidden = false, seenWMClass = false;
    QByteArrayView rest(bytes);
    // Editors on other systems start UTF-8 files with a byte-order mark.
    if (rest.startsWith("\xEF\xBB\xBF")) rest = rest.sliced(3);
    while (!rest.isEmpty()) {
        const qsizetype end = rest.indexOf('\n');
        const QByteArrayView line = (end < 0 ? rest : rest.first(end)).trimmed();
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        if (line.isEmpty() || line.startsWith('#')) continue;
        if (line.startsWith('[')) {
            // Only the first "Desktop Entry" group describes the application; actions and the
            // like follow it.
            if (inGroup) break;
            inGroup = !seenGroup && line == "[Desktop Entry]";
            seenGroup = seenGroup || inGroup;
            continue;
        }
        if (!inGroup) continue;
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0) continue;
        QByteArrayView key = line.first(eq).trimmed();
        const QByteArrayView value = line.sliced(eq + 1).trimmed();
        QByteArrayView locale;
        if (const qsizetype open = key.indexOf('['); open > 0 && key.endsWith(']')) {
            locale = key.sliced(open + 1, key.size() - open - 2);
            key = key.first(open);
        }
        if (!isKeyName(key)) continue;
        // A key given twice is an error of the file; its first value stands, as in the desktop's readers.
        if (key == "Name") {
            const QString lang = QString::fromUtf8(locale);
            if (!entry.names.contains(lang)) entry.names.insert(lang, unescape(QString::fromUtf8(value)));
        } else if (!locale.isEmpty()) {
            continue;
        } else if (key == "Type" && type.isEmpty()) {
            type = value.toByteArray();
        } else if (key == "Exec" && !std::exchange(seenExec, true)) {
            exec = unescape(QString::fromUtf8(value));
        } else if (key == "StartupWMClass" && !std::exchange(seenWMClass, true)) {
            entry.startupWMClass = unescape(QString::fromUtf8(value));
        } else if (key == "Hidden" && !std::exchange(seenHidden, true)) {
            entry.hidden = isTrue(value);
        }
    }
    if (!seenGroup) return fail(2, QStringLiteral("no [Desktop Entry] group"));
    // Entries without a Type are taken for applications, as launchers do.
    if (!type.isEmpty() && type != "Application")
        return fail(3, QStringLiteral("Type=%1 is no application").arg(QString::fromUtf8(type)));
    entry.program = execProgram(exec);
    return entry;
}

QString execProgram(const QString& exec) {
    const QStringList args = splitExec(exec);
    qsizetype i = 0;
    while (i < args.size()) {
        if (isAssignment(args[i])) {
            ++i;
        } else if (baseName(args[i]) == QLatin1String("env")) {
            // env's options, those that take a value with it.
            for (++i; i < args.size() && args[i].startsWith(u'-');)
                i += args[i] == QLatin1String("-u") || args[i] == QLatin1String("--unset") ||
                             args[i] == QLatin1String("-C") || args[i] == QLatin1String("--chdir")
                         ? 2
                         : 1;
        } else {
            break;
        }
    }
    if (i >= args.size()) return {};
    const QString program = baseName(args[i]);
    // A field code (%f, %U...) stands for a file, never for the program.
    return program.startsWith(u'%') ? QString() : program;
}

QString localizedValue(const QHash<QString, QString>& values, const QString& locale) {
    QString rest = locale;
    QString modifier;
    if (const qsizetype at = rest.indexOf(u'@'); at >= 0) {
        modifier = rest.mid(at + 1);
        rest.truncate(at);
    }
    if (const qsizetype dot = rest.indexOf(u'.'); dot >= 0) rest.truncate(dot);
    const qsizetype underscore = rest.indexOf(u'_');
    const QString lang = underscore >= 0 ? rest.left(underscore) : rest;
    const QString country = underscore >= 0 ? rest.mid(underscore + 1) : QString();

    QStringList keys;
    if (!lang.isEmpty() && lang != QLatin1String("C") && lang != QLatin1String("POSIX")) {
        if (!country.isEmpty() && !modifier.isEmpty()) keys << lang + u'_' + country + u'@' + modifier;
        if (!country.isEmpty()) keys << lang + u'_' + country;
        if (!modifier.isEmpty()) keys << lang + u'@' + modifier;
        keys << lang;
    }
    keys << QString();
    for (const QString& key : keys)
        if (const QString value = values.value(key); !value.isEmpty()) return value;
    return {};
}

QStringList DesktopEntries::userApplicationDirectories() {
    return QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
}

QString DesktopEntries::userLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const QString value = qEnvironmentVariable(name); !value.isEmpty()) return value;
    return {};
}

QStringList DesktopEntries::executableNames(pid_t pid) {
    if (pid <= 0) return {};
    QStringList names;
    const QByteArray proc = "/proc/" + QByteArray::number(pid);
    char target[PATH_MAX];
    const ssize_t n = ::readlink(proc + "/exe", target, sizeof target);
    if (n > 0 && n < ssize_t(sizeof target)) {
        QString path = QFile::decodeName(QByteArray(target, n));
        // A program replaced on disk while running, as upgrades do.
        if (path.endsWith(QLatin1String(" (deleted)"))) path.chop(10);
        names << baseName(path);
    }
    QFile cmdline(QFile::decodeName(proc + "/cmdline"));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray args = cmdline.read(PATH_MAX);
        const QString first = baseName(QFile::decodeName(args.left(args.indexOf('\0'))));
        if (!first.isEmpty() && !names.contains(first)) names << first;
    }
    names.removeAll(QString());
    return names;
}

DesktopEntries::DesktopEntries(QStringList directories, QString locale) : locale_(std::move(locale)) {
    directories.removeDuplicates();
    for (const QString& path : directories)
        if (!path.isEmpty()) directories_.push_back(Directory{path, {}, {}, false});
}

void DesktopEntries::readDirectory(Directory& directory) {
    directory.stamps.clear();
    directory.entries.clear();
    directory.read = true;
    std::set<std::pair<dev_t, ino_t>> visited;
    int files = 0;
    const std::function<void(const QString&, const QString&, int)> walk =
        [&](const QString& path, const QString& idPrefix, int depth) {
            const FileStamp stamp = statOf(path);
            directory.stamps.emplace_back(path, Stamp{stamp.st.st_dev, stamp.st.st_ino, stamp.st.st_mtim});
            if (!stamp.exists || !S_ISDIR(stamp.st.st_mode)) return;
            // Links may lead back up the tree.
            if (!visited.insert({stamp.st.st_dev, stamp.st.st_ino}).second) return;
            const QFileInfoList children =
                QDir(path).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
            for (const QFileInfo& child : children) {
                const QString name = child.fileName();
                if (child.isDir()) {
                    if (depth < kMaxDepth) walk(child.filePath(), idPrefix + name + u'-', depth + 1);
                    continue;
                }
                if (!name.endsWith(QLatin1String(".desktop")) || ++files > kMaxFilesPerDirectory) continue;
                const std::optional<QByteArray> bytes = readDesktopEntryFile(child.filePath());
                if (!bytes) continue;
                OptError error;
                std::optional<DesktopEntry> entry = parseDesktopEntry(*bytes, &error);
                if (!entry) {
                    qCDebug(lcPlatform)
                        << "desktop entry" << child.filePath() << "skipped:" << error->description;
                    continue;
                }
                entry->id = idPrefix + name.chopped(8);
                directory.entries.push_back(std::move(*entry));
            }
        };
    walk(directory.path, QString(), 0);
    // Two files may give one ID (a-b.desktop and a/b.desktop); the first read stands.
    std::stable_sort(directory.entries.begin(), directory.entries.end(),
                     [](const DesktopEntry& a, const DesktopEntry& b) { return a.id < b.id; });
    directory.entries.erase(
        std::unique(directory.entries.begin(), directory.entries.end(),
                    [](const DesktopEntry& a, const DesktopEntry& b) { return a.id == b.id; }),
        directory.entries.end());
}

void DesktopEntries::refresh() {
    bool changed = false;
    for (Directory& directory : directories_) {
        const bool same =
            directory.read &&
            std::all_of(directory.stamps.begin(), directory.stamps.end(),
                        [](const std::pair<QString, Stamp>& s) {
                            const FileStamp now = statOf(s.first);
                            return Stamp{now.st.st_dev, now.st.st_ino, now.st.st_mtim} == s.second;
                        });
        if (same) continue;
        readDirectory(directory);
        changed = true;
    }
    if (!changed) return;
    byId_.clear();
    visible_.clear();
    for (const Directory& directory : directories_)
        for (const DesktopEntry& entry : directory.entries) {
            if (byId_.contains(entry.id)) continue;
            byId_.insert(entry.id, &entry);
            if (!entry.hidden) visible_.push_back(&entry);
        }
}

const DesktopEntry*
DesktopEntries::firstMatching(const std::function<bool(const DesktopEntry&)>& test) const {
    const auto it =
        std::find_if(visible_.begin(), visible_.end(), [&](const DesktopEntry* e) { return test(*e); });
    return it == visible_.end() ? nullptr : *it;
}

const DesktopEntry* DesktopEntries::entry(const QString& id) {
    refresh();
    return visibleEntry(normalisedId(id));
}

const DesktopEntry* DesktopEntries::visibleEntry(const QString& id) const {
    const DesktopEntry* found = byId_.value(id);
    return found && !found->hidden ? found : nullptr;
}

FrontmostApplicationInfo DesktopEntries::applicationOf(const WindowIdentity& window) {
    refresh();
    QString identifier = normalisedId(window.applicationId);
    const DesktopEntry* found = identifier.isEmpty() ? nullptr : visibleEntry(identifier);
    // The instance first: a browser's web applications share its class and differ by instance.
    for (const QString& wmClass : {window.instanceName, window.className}) {
        if (found || wmClass.isEmpty()) continue;
        found = firstMatching([&](const DesktopEntry& e) {
            return e.startupWMClass.compare(wmClass, Qt::CaseInsensitive) == 0;
        });
    }
    for (const QString& program : window.executables) {
        if (found || runsOtherPrograms(program)) continue;
        found = firstMatching([&](const DesktopEntry& e) { return e.program == program; });
    }
    const QString windowClass = window.className.isEmpty() ? window.instanceName : window.className;
    if (identifier.isEmpty()) identifier = found ? found->id : windowClass;
    QString name = found ? localizedValue(found->names, locale_) : QString();
    if (name.isEmpty()) name = windowClass;
    return FrontmostApplicationInfo{identifier, name};
}
