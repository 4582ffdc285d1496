#include "platform/linux/LinuxWorkspace.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QString defaultRuntimeDirectory() {
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty()) return xdg + QStringLiteral("/zubpad");
    return QStringLiteral("/tmp/zubpad-%1").arg(getuid());
}

// A bundle identifier becomes a file name: nothing in it may lead out of the directory.
QString fileNameFor(const QString& bundleIdentifier) {
    QString name;
    for (QChar c : bundleIdentifier)
        name += (c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'_') && c.unicode() < 128
                    ? c
                    : QChar(u'_');
    if (name.isEmpty() || name.startsWith(u'.')) name.prepend(u'_');
    return name + QStringLiteral(".pids");
}

// Through syscall(): glibc 2.36 declares its wrappers without C linkage.
int pidfdOpen(pid_t pid) {
    return int(::syscall(SYS_pidfd_open, pid, 0u));
}
int pidfdSendSignal(int pidfd, int signalNumber) {
    return int(::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, 0u));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

QByteArray readAll(int fd) {
    QByteArray bytes;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.append(buffer, n);
        offset += n;
        // The record holds a few lines; anything this large was not written by us.
        if (bytes.size() > (1 << 20)) break;
    }
    return bytes;
}

bool writeAll(int fd, const QByteArray& bytes) {
    if (::ftruncate(fd, 0) != 0) return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.constData() + done, size_t(bytes.size() - done), off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

} // namespace

LinuxWorkspace::LinuxWorkspace(QString runtimeDirectory)
    : runtimeDirectory_(runtimeDirectory.isEmpty() ? defaultRuntimeDirectory()
                                                   : std::move(runtimeDirectory)) {}

std::optional<quint64> LinuxWorkspace::processStartTime(qint64 pid) {
    if (pid <= 0) return std::nullopt;
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray stat = file.readAll();
    // The command name (field 2) is in parentheses and may hold blanks and parentheses itself.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    // Fields after the name start with the state (field 3); the start time is field 22.
    constexpr qsizetype kStartTime = 22 - 3;
    if (fields.size() <= kStartTime) return std::nullopt;
    // A process that has ended but not been reaped yet runs no more.
    if (fields[0] == "Z" || fields[0] == "X") return std::nullopt;
    bool ok = false;
    const quint64 start = fields[kStartTime].toULongLong(&ok);
    return ok ? std::optional<quint64>(start) : std::nullopt;
}

QString LinuxWorkspace::recordPath(const QString& bundleIdentifier) const {
    return runtimeDirectory_ + u'/' + fileNameFor(bundleIdentifier);
}

OptError LinuxWorkspace::ensureDirectory() const {
    const QByteArray dir = QFile::encodeName(runtimeDirectory_);
    if (::mkdir(dir.constData(), 0700) != 0 && errno != EEXIST) return Error::posix(errno);
    struct stat st {};
    if (::lstat(dir.constData(), &st) != 0) return Error::posix(errno);
    // Someone else's directory, or a link planted in its place, must not receive our record.
    if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 0022))
        return Error::make(
            kPOSIXErrorDomain, EPERM,
            QStringLiteral("%1 is not a private directory of this user").arg(runtimeDirectory_));
    return std::nullopt;
}

OptError LinuxWorkspace::withRecord(const QString& bundleIdentifier,
                                    const std::function<void(std::vector<Entry>&)>& fn) {
    if (OptError error = ensureDirectory()) return error;
    const QByteArray path = QFile::encodeName(recordPath(bundleIdentifier));
    Descriptor fd(::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0) return Error::posix(errno);
    while (::flock(fd.get(), LOCK_EX) != 0)
        if (errno != EINTR) return Error::posix(errno);

    std::vector<Entry> entries;
    for (const QByteArray& line : readAll(fd.get()).split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() != 2) continue;
        bool pidOk = false, startOk = false;
        const qint64 pid = parts[0].toLongLong(&pidOk);
        const quint64 start = parts[1].toULongLong(&startOk);
        if (!pidOk || !startOk || pid <= 0) continue;
        // Only instances still alive stay in the record.
        if (processStartTime(pid) != start) continue;
        if (std::any_of(entries.begin(), entries.end(), [pid](const Entry& e) { return e.pid == pid; }))
            continue;
        entries.push_back(Entry{pid, start});
    }
    fn(entries);

    QByteArray text;
    for (const Entry& e : entries)
        text += QByteArray::number(e.pid) + ' ' + QByteArray::number(e.startTime) + '\n';
    if (!writeAll(fd.get(), text)) return Error::posix(errno);
    return std::nullopt; // closing the descriptor releases the lock
}

OptError LinuxWorkspace::registerRunningApplication(const QString& bundleIdentifier) {
    const qint64 pid = currentProcessIdentifier();
    const std::optional<quint64> start = processStartTime(pid);
    if (!start)
        return Error::make(kPOSIXErrorDomain, ESRCH, QStringLiteral("no start time for this process"));
    return withRecord(bundleIdentifier, [&](std::vector<Entry>& entries) {
        if (std::none_of(entries.begin(), entries.end(), [pid](const Entry& e) { return e.pid == pid; }))
            entries.push_back(Entry{pid, *start});
    });
}

std::vector<RunningApplication>
LinuxWorkspace::runningApplicationsWithBundleIdentifier(const QString& bundleIdentifier) {
    std::vector<RunningApplication> running;
    withRecord(bundleIdentifier, [&](std::vector<Entry>& entries) {
        for (const Entry& e : entries)
            running.push_back(RunningApplication{e.pid, bundleIdentifier});
    });
    return running;
}

qint64 LinuxWorkspace::currentProcessIdentifier() const {
    return qint64(::getpid());
}

bool LinuxWorkspace::forceTerminate(const RunningApplication& application) {
    bool ended = false;
    withRecord(application.bundleIdentifier, [&](std::vector<Entry>& entries) {
        auto it = std::find_if(entries.begin(), entries.end(),
                               [&](const Entry& e) { return e.pid == application.processIdentifier; });
        if (it == entries.end()) return; // not one of ours (any more)
        // Hold the process by a descriptor, then make sure it is still the instance we recorded:
        // from then on the pid cannot pass to another process before the signal arrives.
        Descriptor pidfd(pidfdOpen(pid_t(it->pid)));
        if (pidfd.get() < 0 || processStartTime(it->pid) != it->startTime) return;
        ended = pidfdSendSignal(pidfd.get(), SIGKILL) == 0;
        if (ended) entries.erase(it);
    });
    return ended;
}

bool LinuxWorkspace::openURL(const QUrl& url) {
    return url.isValid() && QDesktopServices::openUrl(url);
}

QStringList LinuxWorkspace::applicationPreferencesRoots() const {
    QStringList prefixes;
    const QString winePrefix = qEnvironmentVariable("WINEPREFIX");
    if (!winePrefix.isEmpty()) prefixes << winePrefix;
    prefixes << QDir::home().filePath(QStringLiteral(".wine"));

    QStringList roots;
    constexpr auto kDirs = QDir::Dirs | QDir::NoDotAndDotDot;
    for (const QString& prefix : prefixes) {
        const QDir users(QDir(prefix).filePath(QStringLiteral("drive_c/users")));
        for (const QString& user : users.entryList(kDirs, QDir::Name)) {
            // Wine before 7 named the folder as Windows XP did.
            for (const char* roaming : {"AppData/Roaming", "Application Data"}) {
                const QDir appData(QDir(users.filePath(user)).filePath(QLatin1String(roaming)));
                for (const QString& maker : appData.entryList(kDirs, QDir::Name)) {
                    const QDir makerDir(appData.filePath(maker));
                    for (const QString& program : makerDir.entryList(kDirs, QDir::Name)) {
                        const QString root = QDir(makerDir.filePath(program)).canonicalPath();
                        // $WINEPREFIX may well be ~/.wine itself.
                        if (!root.isEmpty() && !roots.contains(root)) roots << root;
                    }
                }
            }
        }
    }
    return roots;
}
