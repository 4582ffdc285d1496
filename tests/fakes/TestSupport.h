#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <initializer_list>
#include <tuple>
#include <utility>
#include <vector>

// Runs the event loop until `done` holds or `timeoutMs` passes; returns whether it held.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Runs the event loop for a while, for "nothing more happens" checks.
void spinEventLoop(int ms);
// Number of descriptors this process has open.
int openDescriptorCount();
// A path in a fresh temporary directory that lives until the process ends.
QString tempPath(const QString& name);
// A path there that no earlier call gave: `stem` and a number.
QString freshTempPath(const QString& stem);
// Writes `bytes` to `path`, making its directory first; whether all of it was written.
bool writeFile(const QString& path, const QByteArray& bytes);
// Directory of the built binaries (usbmuxd-sim, device-sim, zubpad).
QString binDir();

// Environment variables set for one test, and put back as they were when it ends.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(std::initializer_list<std::pair<const char*, QString>> values) {
        for (const auto& [name, value] : values) {
            saved_.emplace_back(name, qgetenv(name), qEnvironmentVariableIsSet(name));
            qputenv(name, value.toLocal8Bit());
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value, wasSet] : saved_)
            wasSet ? qputenv(name, value) : qunsetenv(name);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::vector<std::tuple<const char*, QByteArray, bool>> saved_;
};

#include "platform/Workspace.h"

#include <QStringList>
#include <ostream>

// Readable Qt strings in test failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << '{' << list.join(QStringLiteral(", ")).toStdString() << '}';
}
inline void PrintTo(const FrontmostApplicationInfo& info, std::ostream* os) {
    *os << '{' << info.bundleIdentifier.toStdString() << ", " << info.localizedName.toStdString() << '}';
}
