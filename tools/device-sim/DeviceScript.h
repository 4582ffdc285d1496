#pragma once

#include "base/Error.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <vector>

// One step of a device script. Sends are encoded when the script is read, so a bad value is reported
// with its line before anything is sent.
struct ScriptCommand {
    enum Kind {
        SendFrame,   // a frame of `type`, `tag`, `payload`
        SendRaw,     // `payload` as it stands, no header
        Sleep,       // `milliseconds`
        SetTimeout,  // `milliseconds` for the expectations that follow
        ExpectText,  // a text message whose whole text matches `pattern`
        ExpectEvent, // an event whose "eventName" matches `pattern` and holds `fields`
        ExpectFrame, // any frame of `type`
        SavePicture, // the last decoded picture as PNG at `path` (empty: the simulator's own path)
        Disconnect,
    };

    Kind kind = SendFrame;
    int line = 0;
    QString source; // the line as written, for messages
    uint32_t type = 0;
    uint32_t tag = 0;
    QByteArray payload;
    int milliseconds = 0;
    QRegularExpression pattern;
    QVariantMap fields;
    QString path;

    // Whether a received frame satisfies this expectation (always false for the other kinds).
    bool matches(uint32_t frameType, const QByteArray& framePayload) const;
};

namespace DeviceScript {

constexpr int kDefaultTimeoutMs = 5000;

// Reads a whole script; on a bad line, an empty list and an error "line N: ..." (domain "DeviceScript").
std::vector<ScriptCommand> parse(const QString& text, OptError* error);

// The typed value of `key=value` arguments: "quoted" text, true/false, integers, reals, <hex> data,
// JSON arrays and objects, anything else as text.
QVariant parseValue(const QString& text, OptError* error);

// A value of a named type: string, int, real, bool, data (hex) or json (array or object).
QVariant parseTypedValue(const QString& type, const QString& text, OptError* error);

// Splits arguments on blanks, keeping blanks inside double quotes and inside [...] / {...}.
QStringList tokenize(const QString& text, OptError* error);

} // namespace DeviceScript
