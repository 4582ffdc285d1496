#include "base/Bundle.h"

#include "base/PropertyList.h"

#include <QFile>

const Bundle& Bundle::main() {
    static const Bundle bundle;
    return bundle;
}

Bundle::Bundle() { info_ = PropertyList::parse(resourceData(QStringLiteral("Info"), QStringLiteral("plist"))).toMap(); }

QVariant Bundle::objectForInfoDictionaryKey(const QString& key) const { return info_.value(key); }

QByteArray Bundle::resourceData(const QString& name, const QString& type) const {
    QFile file(QStringLiteral(":/bundle/%1.%2").arg(name, type));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

QVariant Bundle::propertyListResource(const QString& name) const {
    return PropertyList::parse(resourceData(name, QStringLiteral("plist")));
}
