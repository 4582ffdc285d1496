#include "LinkRoad.h"

#include "base/PropertyList.h"
#include "fakes/TestSupport.h"
#include "session/PeerMessage.h"

#include <QJsonDocument>

namespace {

QString writeScript(const QString& script) {
    static int n = 0;
    const QString path = tempPath(QStringLiteral("script-%1.txt").arg(++n));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(script.toUtf8());
    return path;
}

QString freshRecordPath() {
    static int n = 0;
    return tempPath(QStringLiteral("record-%1.jsonl").arg(++n));
}

} // namespace

const FrameCollector::Frame* FrameCollector::find(uint32_t type, const QString& textOrEventName) const {
    for (const Frame& frame : frames) {
        if (frame.type != type) continue;
        if (textOrEventName.isNull()) return &frame;
        OptError error;
        if (type == PeerMessage::kFrameTypeTextMessage &&
            PeerMessage::decodeText(frame.payload) == textOrEventName)
            return &frame;
        if (type == PeerMessage::kFrameTypeEvent &&
            PropertyList::parseDictionary(frame.payload, &error).value(QStringLiteral("eventName")) ==
                textOrEventName)
            return &frame;
    }
    return nullptr;
}

bool FrameCollector::waitFor(uint32_t type, const QString& textOrEventName, int timeoutMs) const {
    return waitUntil([&] { return find(type, textOrEventName) != nullptr; }, timeoutMs);
}

DeviceSimProcess::DeviceSimProcess(const QString& script, const QStringList& extraArguments)
    : recordPath_(freshRecordPath()),
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
