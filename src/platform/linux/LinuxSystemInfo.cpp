#include "platform/linux/LinuxSystemInfo.h"

#include <QFile>
#include <QList>

#include <arpa/inet.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

// An owner that cannot be read is nobody we trust.
constexpr quint32 kUnknownOwner = 0xffffffffu;

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

QString firstLine(const QString& path) {
    const QByteArray bytes = readFile(path);
    const qsizetype end = bytes.indexOf('\n');
    return QString::fromUtf8(end < 0 ? bytes : bytes.left(end)).trimmed();
}

// VERSION_ID of an os-release file: a shell assignment, possibly quoted.
QString osReleaseVersion(const QByteArray& text) {
    for (const QByteArray& raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith("VERSION_ID=")) continue;
        QByteArray value = line.mid(qsizetype(qstrlen("VERSION_ID=")));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return QString::fromUtf8(value).trimmed();
    }
    return {};
}

QString unameField(bool machine) {
    utsname names{};
    if (uname(&names) != 0) return {};
    return QString::fromUtf8(machine ? names.machine : names.release);
}

bool parseHex32(const QByteArray& text, quint32* value) {
    bool ok = false;
    *value = text.toUInt(&ok, 16);
    return ok;
}

// The kernel prints each 32-bit word of an address in the machine's byte order, so a word read back
// as a number equals the in-memory (network order) word.
bool reachableFromLoopbackV4(quint32 word) {
    return word == 0 || word == htonl(INADDR_LOOPBACK);
}

// Whether a connection to 127.0.0.1 can reach a socket listening on this address; an address that
// does not parse counts as reachable, so an unreadable entry can only make the answer stricter.
bool reachableFromLoopbackV4(const QByteArray& hex) {
    quint32 word = 0;
    if (hex.size() != 8 || !parseHex32(hex, &word)) return true;
    return reachableFromLoopbackV4(word);
}

bool reachableFromLoopbackV6(const QByteArray& hex) {
    quint32 words[4];
    for (int i = 0; i < 4; ++i)
        if (hex.size() != 32 || !parseHex32(hex.mid(i * 8, 8), &words[i])) return true;
    if (words[0] != 0 || words[1] != 0) return false;
    // "::" (which also takes IPv4 unless the socket is IPv6-only) or "::ffff:127.0.0.1" / "::ffff:0.0.0.0".
    if (words[2] == 0) return words[3] == 0;
    return words[2] == htonl(0xffff) && reachableFromLoopbackV4(words[3]);
}

} // namespace

LinuxSystemInfo::LinuxSystemInfo(const QString& root) : root_(root.endsWith('/') ? root : root + '/') {
    osVersion_ = osReleaseVersion(readFile(root_ + "etc/os-release"));
    if (osVersion_.isEmpty()) osVersion_ = osReleaseVersion(readFile(root_ + "usr/lib/os-release"));
    if (osVersion_.isEmpty()) osVersion_ = unameField(false);

    for (const char* name : {"product_name", "board_name", "sys_vendor"}) {
        machineModel_ = firstLine(root_ + "sys/class/dmi/id/" + name);
        if (!machineModel_.isEmpty()) break;
    }
    if (machineModel_.isEmpty()) machineModel_ = unameField(true);
}

QString LinuxSystemInfo::machineArchitecture() const {
    return unameField(true);
}

quint32 LinuxSystemInfo::userID() const {
    return quint32(geteuid());
}

std::vector<quint32> LinuxSystemInfo::listeningSocketOwners(quint16 port) const {
    std::vector<quint32> owners = listeningOwnersInTable(readFile(root_ + "proc/net/tcp"), port, false);
    for (quint32 uid : listeningOwnersInTable(readFile(root_ + "proc/net/tcp6"), port, true))
        owners.push_back(uid);
    return owners;
}

std::vector<quint32> LinuxSystemInfo::listeningOwnersInTable(const QByteArray& table, quint16 port,
                                                             bool ipv6) {
    // "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode"
    // "   0: 0100007F:5BB9 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 123 ..."
    constexpr int kLocal = 1, kState = 3, kUid = 7;
    std::vector<quint32> owners;
    const QList<QByteArray> lines = table.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        if (fields.size() <= kState || fields[kState] != "0A") continue;
        const QByteArray& local = fields[kLocal];
        const qsizetype colon = local.indexOf(':');
        quint32 localPort = 0;
        if (colon < 0 || !parseHex32(local.mid(colon + 1), &localPort) || localPort != port) continue;
        const QByteArray address = local.left(colon);
        if (!(ipv6 ? reachableFromLoopbackV6(address) : reachableFromLoopbackV4(address))) continue;
        bool ok = false;
        const quint32 uid = fields.size() > kUid ? fields[kUid].toUInt(&ok, 10) : 0;
        owners.push_back(ok ? uid : kUnknownOwner);
    }
    return owners;
}
