#include "base/UserDefaults.h"

#include "base/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSettings>
#include <QStandardPaths>

namespace UserDefaultsFile {

bool read(const QByteArray& bytes, QVariantMap& out) {
    out.clear();
    // A file made but never written (or emptied by hand) is an empty domain, not a damaged one.
    if (bytes.trimmed().isEmpty()) return true;
    OptError error;
    QVariantMap map = PropertyList::parseDictionary(bytes, &error);
    if (error) return false;
    out = std::move(map);
    return true;
}

QByteArray write(const QVariantMap& values) {
    return PropertyList::serialize(values, PropertyList::Format::Xml);
}

} // namespace UserDefaultsFile

namespace {

bool readSettings(QIODevice& device, QSettings::SettingsMap& map) {
    return UserDefaultsFile::read(device.readAll(), map);
}

bool writeSettings(QIODevice& device, const QSettings::SettingsMap& map) {
    const QByteArray bytes = UserDefaultsFile::write(map);
    // Only values a property list can hold are ever stored; an empty result means one slipped in.
    if (bytes.isEmpty()) return false;
    return device.write(bytes) == bytes.size();
}

QSettings::Format plistFormat() {
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("plist"), readSettings, writeSettings, Qt::CaseSensitive);
    return format;
}

bool startsTrue(const QString& text) {
    for (QChar c : text) {
        if (c.isSpace()) continue;
        if (c == u'+' || c == u'-' || c == u'0') continue;
        return c == u'Y' || c == u'y' || c == u'T' || c == u't' || (c >= u'1' && c <= u'9');
    }
    return false;
}

Error settingsError(QSettings::Status status, const QString& path) {
    if (status == QSettings::FormatError)
        return Error::make(QStringLiteral("UserDefaults"), int(status),
                           QStringLiteral("%1 is not a property-list dictionary").arg(path));
    return Error::make(QStringLiteral("UserDefaults"), int(status),
                       QStringLiteral("cannot access %1").arg(path));
}

} // namespace

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults(defaultFilePath());
    return defaults;
}

QString UserDefaults::defaultFilePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/zubpad/zubpad.plist");
}

UserDefaults::UserDefaults(const QString& filePath) : filePath_(filePath) {
    QDir().mkpath(QFileInfo(filePath_).absolutePath());
    settings_ = std::make_unique<QSettings>(filePath_, plistFormat());
    if (settings_->status() == QSettings::FormatError) {
        // A damaged file would be overwritten by the next write: keep it aside for whoever wants to
        // look at it, and start from an empty domain.
        const QString aside = filePath_ + QStringLiteral(".damaged");
        QFile::remove(aside);
        QFile::rename(filePath_, aside);
        settings_ = std::make_unique<QSettings>(filePath_, plistFormat());
    }
}

UserDefaults::~UserDefaults() = default;

QVariant UserDefaults::objectForKey(const QString& key) const {
    std::lock_guard lock(mutex_);
    return settings_->value(key);
}

bool UserDefaults::boolForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return v.toLongLong() != 0;
    case QMetaType::Double:
        return v.toDouble() != 0.0;
    case QMetaType::QString:
        return startsTrue(v.toString());
    default:
        return false;
    }
}

double UserDefaults::doubleForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    switch (v.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return v.toDouble();
    case QMetaType::QString:
        return v.toString().trimmed().toDouble();
    default:
        return 0.0;
    }
}

qint64 UserDefaults::integerForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    switch (v.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return v.toLongLong();
    case QMetaType::Double:
        return qint64(v.toDouble());
    case QMetaType::QString:
        return v.toString().trimmed().toLongLong();
    default:
        return 0;
    }
}

QString UserDefaults::stringForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

void UserDefaults::setObject(const QVariant& value, const QString& key) {
    std::lock_guard lock(mutex_);
    if (value.isValid())
        settings_->setValue(key, value);
    else
        settings_->remove(key);
    synchronizeLocked();
}

void UserDefaults::setBool(bool value, const QString& key) {
    setObject(qlonglong(value ? 1 : 0), key);
}
void UserDefaults::setDouble(double value, const QString& key) {
    setObject(value, key);
}
void UserDefaults::setInteger(qint64 value, const QString& key) {
    setObject(qlonglong(value), key);
}
void UserDefaults::removeObjectForKey(const QString& key) {
    setObject(QVariant(), key);
}

void UserDefaults::removePersistentDomain() {
    std::lock_guard lock(mutex_);
    settings_->clear();
    synchronizeLocked();
}

OptError UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    return synchronizeLocked();
}

OptError UserDefaults::synchronizeLocked() {
    settings_->sync();
    if (settings_->status() == QSettings::NoError) return std::nullopt;
    return settingsError(settings_->status(), filePath_);
}

OptError UserDefaults::status() const {
    std::lock_guard lock(mutex_);
    if (settings_->status() == QSettings::NoError) return std::nullopt;
    return settingsError(settings_->status(), filePath_);
}
