#pragma once

#include "base/Error.h"

#include <QString>
#include <QVariant>
#include <memory>
#include <mutex>

class QSettings;

// The application's persistent settings: one property-list file in the user's configuration
// directory ($XDG_CONFIG_HOME/zubpad/zubpad.plist), read and written through QSettings so that
// concurrent writers are serialised by its lock file and every save is atomic.
//
// Values keep their property-list types. Booleans are stored as numbers (1 or 0) and read back
// leniently, so an absent key reads as NO. Every write is followed by a synchronise, so nothing the
// program decided is lost when it is killed. Safe to use from any thread: one mutex guards the
// settings object, which Qt does not allow to be shared between threads unguarded.
class UserDefaults {
public:
    // The defaults of this user, at defaultFilePath(); made on first use.
    static UserDefaults& standard();
    // $XDG_CONFIG_HOME/zubpad/zubpad.plist, or ~/.config/zubpad/zubpad.plist.
    static QString defaultFilePath();

    explicit UserDefaults(const QString& filePath);
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const QString& filePath() const { return filePath_; }

    // Invalid when absent.
    QVariant objectForKey(const QString& key) const;
    bool containsKey(const QString& key) const { return objectForKey(key).isValid(); }
    // The boolean value of the stored object: numbers are YES when not zero, strings when they start
    // (after blanks) with Y, y, T, t or a digit 1-9; anything else, and an absent key, is NO.
    bool boolForKey(const QString& key) const;
    // Numbers as such, numeric strings parsed, anything else 0.
    double doubleForKey(const QString& key) const;
    qint64 integerForKey(const QString& key) const;
    // A string value, or a null string when the value is absent or not a string.
    QString stringForKey(const QString& key) const;

    void setObject(const QVariant& value, const QString& key);
    void setBool(bool value, const QString& key);
    void setDouble(double value, const QString& key);
    void setInteger(qint64 value, const QString& key);
    void removeObjectForKey(const QString& key);
    // Forgets every key of the domain (uninstall).
    void removePersistentDomain();

    // Writes pending changes and picks up changes written by other processes. The error says why the
    // file could not be read (then treated as empty) or written.
    OptError synchronize();
    // What went wrong when the file was last read or written; empty when all went well.
    OptError status() const;

private:
    OptError synchronizeLocked();

    QString filePath_;
    mutable std::mutex mutex_;
    std::unique_ptr<QSettings> settings_;
};

// The parse and serialisation of the settings file, apart for the fuzz target and the tests.
namespace UserDefaultsFile {
// False when `bytes` is neither empty nor a property-list dictionary; `out` is then left empty.
bool read(const QByteArray& bytes, QVariantMap& out);
QByteArray write(const QVariantMap& values);
} // namespace UserDefaultsFile
