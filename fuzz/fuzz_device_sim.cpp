// device-sim reads scripts from files and frames from the agent: both readers take arbitrary bytes here.
// Byte 0 picks the reader: even, the rest is a script; odd, bytes 1..4 are a frame type and the rest its
// payload.
#include "DeviceScript.h"
#include "FrameJson.h"
#include "base/PropertyList.h"
#include "session/PeerMessage.h"

#include <QJsonDocument>
#include <QtEndian>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

const std::vector<ScriptCommand>& expectations() {
    static const std::vector<ScriptCommand> commands = [] {
        OptError error;
        auto parsed = DeviceScript::parse(
            QStringLiteral("expect-text .*\nexpect-event .* x=1\nexpect-frame 107\n"), &error);
        check(!error && parsed.size() == 3);
        return parsed;
    }();
    return commands;
}

void fuzzScript(const QByteArray& bytes) {
    OptError error;
    const std::vector<ScriptCommand> commands = DeviceScript::parse(QString::fromUtf8(bytes), &error);
    check(!error || commands.empty());
    for (const ScriptCommand& command : commands) {
        check(command.line > 0);
        // What intro and send-event build is always one dictionary the agent can read.
        if (command.source.startsWith(QLatin1String("intro ")) || command.source == QLatin1String("intro") ||
            command.source.startsWith(QLatin1String("send-event "))) {
            OptError parseError;
            PropertyList::parseDictionary(command.payload, &parseError);
            check(!parseError);
        }
    }
}

void fuzzFrame(const QByteArray& bytes) {
    if (bytes.size() < 4) return;
    const uint32_t type = qFromBigEndian<quint32>(bytes.constData());
    const QByteArray payload = bytes.mid(4);
    const QJsonObject described = FrameJson::describeFrame(type, 0, payload);
    check(described.value(QStringLiteral("size")).toInteger() == payload.size());
    check(QJsonDocument::fromJson(FrameJson::line(described)).isObject());
    // A text shown without fault is exactly what its payload says.
    if (described.contains(QStringLiteral("text")) && !described.contains(QStringLiteral("error")))
        check(PeerMessage::encodeText(described.value(QStringLiteral("text")).toString()) == payload);
    for (const ScriptCommand& command : expectations())
        command.matches(type, payload);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    if (data[0] % 2 == 0)
        fuzzScript(rest);
    else
        fuzzFrame(rest);
    return 0;
}
