#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// The application's own resources and Info.plist keys, compiled into the binary.
class Bundle {
public:
    static const Bundle& main();

    // Info.plist values ("CFBundleShortVersionString", "VersionURL", ...); invalid when absent.
    QVariant objectForInfoDictionaryKey(const QString& key) const;
    const QVariantMap& infoDictionary() const { return info_; }
    QString bundleIdentifier() const { return objectForInfoDictionaryKey(QStringLiteral("CFBundleIdentifier")).toString(); }

    // The bytes of resource `name`.`type`; empty when there is none.
    QByteArray resourceData(const QString& name, const QString& type) const;
    // A property-list resource ("Defaults", "ModeTable"); invalid when missing or unreadable.
    QVariant propertyListResource(const QString& name) const;

private:
    Bundle();
    QVariantMap info_;
};
