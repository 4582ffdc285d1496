#include "LinkRoad.h"

#include "fakes/TestSupport.h"
#include "session/PeerMessage.h"

#include <QFile>
#include <QJsonDocument>

namespace {

QString writeScript(const QString& script) {
    const QString path = freshTempPath(QStringLiteral("script-"));
    writeFile(path, script.toUtf8());
    return path;
}

} // namespace

const RecordingDelegate::Frame* findFrame(const RecordingDelegate& delegate, uint32_t type,
                                          const QString& textOrEventName) {
    for (const RecordingDelegate::Frame& frame : delegate.frames) {
        if (frame.type != type) continue;
        if (textOrEventName.isNull()) return &frame;
        if (type == PeerMessage::kFrameTypeTextMessage &&
            PeerMessage::decodeText(frame.payload) == textOrEventName)
            return &frame;
        const auto event = PeerMessage::decodeDictionary(frame.payload);
        if (type == PeerMessage::kFrameTypeEvent && event &&
            event->value(QStringLiteral("eventName")) == textOrEventName)
            return &frame;
    }
    return nullptr;
}

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
