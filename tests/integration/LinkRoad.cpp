#include "LinkRoad.h"

#include "fakes/TestSupport.h"

#include <QFile>
#include <QJsonDocument>

namespace {

QString writeScript(const QString& script) {
    const QString path = freshTempPath(QStringLiteral("script-"));
    writeFile(path, script.toUtf8());
    return path;
}

} // namespace

DeviceSimProcess::DeviceSimProcess(const QString& script, const QStringList& extraArguments)
    : recordPath_(freshTempPath(QStringLiteral("record-"))),
      process_(QStringLiteral("device-sim"), QStringList{QStringLiteral("--script"), writeScript(script),
                                                         QStringLiteral("--record"), recordPath_} +
                                                 extraArguments) {
    const QString line = process_.waitForLine(QRegularExpression(QStringLiteral("\"event\":\"listening\"")));
    if (!line.isNull())
        port_ =
            uint16_t(QJsonDocument::fromJson(line.toUtf8()).object().value(QStringLiteral("port")).toInt());
}

std::vector<QJsonObject> DeviceSimProcess::record() const {
    std::vector<QJsonObject> lines;
    QFile file(recordPath_);
    if (!file.open(QIODevice::ReadOnly)) return lines;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.isEmpty()) lines.push_back(QJsonDocument::fromJson(line).object());
    return lines;
}

QStringList DeviceSimProcess::textsReceived() const {
    QStringList texts;
    for (const QJsonObject& line : record())
        if (line.value(QStringLiteral("dir")).toString() == u"in" &&
            line.value(QStringLiteral("type")).toInt() == 101)
            texts << line.value(QStringLiteral("text")).toString();
    return texts;
}
