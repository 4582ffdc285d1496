#include "DeviceScript.h"

#include "base/PropertyList.h"
#include "session/PeerMessage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// A script asks for pauses and timeouts of human size; larger numbers are mistakes.
constexpr int kMaxMilliseconds = 3600 * 1000;

const QString kDomain = QStringLiteral("DeviceScript");

Error scriptError(const QString& what) {
    return Error::make(kDomain, 0, what);
}

bool isNumeric(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

// A received value against the one the script asked for: numbers by value whatever their width,
// containers element by element, everything else by type and value.
bool sameValue(const QVariant& got, const QVariant& wanted) {
    if (isNumeric(got) && isNumeric(wanted)) return got.toDouble() == wanted.toDouble();
    if (got.typeId() != wanted.typeId()) return false;
    if (wanted.typeId() == QMetaType::QVariantMap) {
        const QVariantMap a = got.toMap(), b = wanted.toMap();
        if (a.keys() != b.keys()) return false;
        for (auto it = b.cbegin(); it != b.cend(); ++it)
            if (!sameValue(a.value(it.key()), it.value())) return false;
        return true;
    }
    if (wanted.typeId() == QMetaType::QVariantList) {
        const QVariantList a = got.toList(), b = wanted.toList();
        if (a.size() != b.size()) return false;
        for (qsizetype i = 0; i < a.size(); ++i)
            if (!sameValue(a[i], b[i])) return false;
        return true;
    }
    return got == wanted;
}

QVariant fromJson(const QJsonValue& value, OptError* error) {
    switch (value.type()) {
    case QJsonValue::Object: {
        QVariantMap map;
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            QVariant v = fromJson(it.value(), error);
            if (*error) return {};
            map.insert(it.key(), v);
        }
        return map;
    }
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue& element : value.toArray()) {
            QVariant v = fromJson(element, error);
            if (*error) return {};
            list.append(v);
        }
        return list;
    }
    case QJsonValue::Double: {
        // JSON integers stay integers in the property list.
        const QVariant v = value.toVariant();
        return v.typeId() == QMetaType::LongLong ? v : QVariant(value.toDouble());
    }
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Bool:
        return value.toBool();
    default:
        *error = scriptError(QStringLiteral("null has no property-list form"));
        return {};
    }
}

std::optional<QByteArray> parseHex(const QString& text) {
    static const QRegularExpression hexDigits(QStringLiteral("^([0-9a-fA-F]{2})*$"));
    if (!hexDigits.match(text).hasMatch()) return std::nullopt;
    return QByteArray::fromHex(text.toLatin1());
}

QString unquote(const QString& text, OptError* error) {
    QString out;
    for (qsizetype i = 1; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'"') {
            if (i != text.size() - 1)
                *error = scriptError(QStringLiteral("text after closing quote in %1").arg(text));
            return out;
        }
        if (c == u'\\' && i + 1 < text.size()) {
            const QChar e = text[++i];
            out += e == u'n' ? QChar(u'\n') : e == u't' ? QChar(u'\t') : e == u'r' ? QChar(u'\r') : e;
            continue;
        }
        out += c;
    }
    *error = scriptError(QStringLiteral("unterminated quote in %1").arg(text));
    return {};
}

std::optional<uint32_t> parseUInt32(const QString& text) {
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 0);
    if (!ok || v > 0xFFFFFFFFull || text.startsWith(u'-') || text.startsWith(u'+')) return std::nullopt;
    return uint32_t(v);
}

std::optional<int> parseMilliseconds(const QString& text) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < 0 || v > kMaxMilliseconds) return std::nullopt;
    return v;
}

// The arguments of one command, and the errors it may find in them.
class Arguments {
public:
    Arguments(const QString& rest, OptError* error) : error_(error) {
        tokens_ = DeviceScript::tokenize(rest, error);
    }

    qsizetype size() const { return tokens_.size(); }
    const QString& at(qsizetype i) const { return tokens_[i]; }

    // key=value tokens from `from` on, typed; a bare word is an error. `key:type=value` names the type;
    // otherwise the value is inferred, or taken as text when `textByDefault`.
    QVariantMap fields(qsizetype from, bool textByDefault = false) {
        QVariantMap map;
        for (qsizetype i = from; i < tokens_.size() && !*error_; ++i) {
            const QString& token = tokens_[i];
            const qsizetype eq = token.indexOf(u'=');
            if (eq <= 0) {
                *error_ = scriptError(QStringLiteral("expected key=value, got '%1'").arg(token));
                break;
            }
            QString key = token.left(eq);
            QString type;
            if (const qsizetype colon = key.indexOf(u':'); colon >= 0) {
                type = key.mid(colon + 1);
                key.truncate(colon);
            } else if (textByDefault) {
                type = QStringLiteral("string");
            }
            if (key.isEmpty()) {
                *error_ = scriptError(QStringLiteral("empty key in '%1'").arg(token));
                break;
            }
            const QString text = token.mid(eq + 1);
            const QVariant value = type.isEmpty() ? DeviceScript::parseValue(text, error_)
                                                  : DeviceScript::parseTypedValue(type, text, error_);
            if (!*error_) map.insert(key, value);
        }
        return *error_ ? QVariantMap{} : map;
    }

private:
    QStringList tokens_;
    OptError* error_;
};

std::optional<ScriptCommand> parseLine(const QString& word, const QString& rest, OptError* error) {
    ScriptCommand command;
    Arguments args(rest, error);
    if (*error) return std::nullopt;

    auto fail = [&](const QString& what) {
        *error = scriptError(what);
        return std::nullopt;
    };
    auto needCount = [&](qsizetype least, qsizetype most) {
        if (args.size() >= least && args.size() <= most) return true;
        *error = scriptError(
            least == most ? QStringLiteral("%1 takes %2 argument(s)").arg(word).arg(least)
                          : QStringLiteral("%1 takes %2 to %3 arguments").arg(word).arg(least).arg(most));
        return false;
    };
    auto sendDictionary = [&](uint32_t type, const QVariantMap& dictionary) -> std::optional<ScriptCommand> {
        if (*error) return std::nullopt;
        command.kind = ScriptCommand::SendFrame;
        command.type = type;
        command.payload = PeerMessage::encodeDictionary(dictionary, error);
        if (*error) return std::nullopt;
        return command;
    };
    // Optional tag=N and hex=HEX of send-frame, ping and pong.
    auto frameOptions = [&](qsizetype from, bool allowHex) {
        for (qsizetype i = from; i < args.size(); ++i) {
            const QString& token = args.at(i);
            if (token.startsWith(QStringLiteral("tag="))) {
                const auto tag = parseUInt32(token.mid(4));
                if (!tag) {
                    fail(QStringLiteral("bad tag '%1'").arg(token.mid(4)));
                    return false;
                }
                command.tag = *tag;
            } else if (allowHex && token.startsWith(QStringLiteral("hex="))) {
                const auto bytes = parseHex(token.mid(4));
                if (!bytes) {
                    fail(QStringLiteral("bad hex '%1'").arg(token.mid(4)));
                    return false;
                }
                command.payload = *bytes;
            } else {
                fail(QStringLiteral("unexpected argument '%1'").arg(token));
                return false;
            }
        }
        return true;
    };

    // The introduction's fields are all texts ("2.0" is a version, not a number).
    if (word == QLatin1String("intro"))
        return sendDictionary(PeerMessage::kFrameTypeDeviceInfo, args.fields(0, true));

    if (word == QLatin1String("send-event")) {
        if (args.size() < 1) return fail(QStringLiteral("send-event needs an event name"));
        QVariantMap dictionary{{QStringLiteral("eventName"), args.at(0)}};
        const QVariantMap extra = args.fields(1);
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            dictionary.insert(it.key(), it.value());
        return sendDictionary(PeerMessage::kFrameTypeEvent, dictionary);
    }

    if (word == QLatin1String("send-plist")) {
        if (args.size() < 1) return fail(QStringLiteral("send-plist needs a frame type"));
        const auto type = parseUInt32(args.at(0));
        if (!type) return fail(QStringLiteral("bad frame type '%1'").arg(args.at(0)));
        return sendDictionary(*type, args.fields(1));
    }

    if (word == QLatin1String("send-text")) {
        command.kind = ScriptCommand::SendFrame;
        command.type = PeerMessage::kFrameTypeTextMessage;
        command.payload = PeerMessage::encodeText(rest);
        return command;
    }

    if (word == QLatin1String("send-frame")) {
        if (args.size() < 1) return fail(QStringLiteral("send-frame needs a frame type"));
        const auto type = parseUInt32(args.at(0));
        if (!type) return fail(QStringLiteral("bad frame type '%1'").arg(args.at(0)));
        command.kind = ScriptCommand::SendFrame;
        command.type = *type;
        if (!frameOptions(1, true)) return std::nullopt;
        return command;
    }

    if (word == QLatin1String("ping") || word == QLatin1String("pong")) {
        command.kind = ScriptCommand::SendFrame;
        command.type =
            word == QLatin1String("ping") ? PeerMessage::kFrameTypePing : PeerMessage::kFrameTypePong;
        if (!frameOptions(0, false)) return std::nullopt;
        return command;
    }

    if (word == QLatin1String("send-raw")) {
        QString hex;
        for (qsizetype i = 0; i < args.size(); ++i)
            hex += args.at(i);
        const auto bytes = parseHex(hex);
        if (!bytes || bytes->isEmpty())
            return fail(QStringLiteral("send-raw needs hex bytes, got '%1'").arg(rest));
        command.kind = ScriptCommand::SendRaw;
        command.payload = *bytes;
        return command;
    }

    if (word == QLatin1String("sleep") || word == QLatin1String("timeout")) {
        if (!needCount(1, 1)) return std::nullopt;
        const auto ms = parseMilliseconds(args.at(0));
        if (!ms)
            return fail(
                QStringLiteral("bad milliseconds '%1' (0 to %2)").arg(args.at(0)).arg(kMaxMilliseconds));
        command.kind = word == QLatin1String("sleep") ? ScriptCommand::Sleep : ScriptCommand::SetTimeout;
        command.milliseconds = *ms;
        return command;
    }

    auto compile = [&](const QString& pattern) {
        command.pattern = QRegularExpression(QRegularExpression::anchoredPattern(pattern));
        if (command.pattern.isValid()) return true;
        fail(QStringLiteral("bad pattern '%1': %2").arg(pattern, command.pattern.errorString()));
        return false;
    };

    if (word == QLatin1String("expect-text")) {
        command.kind = ScriptCommand::ExpectText;
        if (!compile(rest)) return std::nullopt;
        return command;
    }

    if (word == QLatin1String("expect-event")) {
        if (args.size() < 1) return fail(QStringLiteral("expect-event needs an event name pattern"));
        command.kind = ScriptCommand::ExpectEvent;
        QString name = args.at(0);
        if (name.startsWith(u'"')) name = unquote(name, error);
        if (*error || !compile(name)) return std::nullopt;
        command.fields = args.fields(1);
        if (*error) return std::nullopt;
        return command;
    }

    if (word == QLatin1String("expect-frame")) {
        if (!needCount(1, 1)) return std::nullopt;
        const auto type = parseUInt32(args.at(0));
        if (!type) return fail(QStringLiteral("bad frame type '%1'").arg(args.at(0)));
        command.kind = ScriptCommand::ExpectFrame;
        command.type = *type;
        return command;
    }

    if (word == QLatin1String("save-picture")) {
        command.kind = ScriptCommand::SavePicture;
        command.path = rest.trimmed();
        return command;
    }

    if (word == QLatin1String("disconnect")) {
        if (!needCount(0, 0)) return std::nullopt;
        command.kind = ScriptCommand::Disconnect;
        return command;
    }

    return fail(QStringLiteral("unknown command '%1'").arg(word));
}

} // namespace

bool ScriptCommand::matches(uint32_t frameType, const QByteArray& framePayload) const {
    switch (kind) {
    case ExpectText: {
        if (frameType != PeerMessage::kFrameTypeTextMessage) return false;
        const std::optional<QString> text = PeerMessage::decodeText(framePayload);
        return text && pattern.match(*text).hasMatch();
    }
    case ExpectEvent: {
        if (frameType != PeerMessage::kFrameTypeEvent) return false;
        OptError error;
        const QVariantMap event = PropertyList::parseDictionary(framePayload, &error);
        const QVariant name = event.value(QStringLiteral("eventName"));
        if (error || name.typeId() != QMetaType::QString || !pattern.match(name.toString()).hasMatch())
            return false;
        for (auto it = fields.cbegin(); it != fields.cend(); ++it)
            if (!event.contains(it.key()) || !sameValue(event.value(it.key()), it.value())) return false;
        return true;
    }
    case ExpectFrame:
        return frameType == type;
    default:
        return false;
    }
}

namespace DeviceScript {

QStringList tokenize(const QString& text, OptError* error) {
    error->reset();
    QStringList tokens;
    QString token;
    bool inToken = false;
    bool inQuote = false;
    QString brackets; // the closers still owed, innermost last

    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (inQuote) {
            token += c;
            if (c == u'\\' && i + 1 < text.size()) {
                token += text[++i];
            } else if (c == u'"') {
                inQuote = false;
            }
            continue;
        }
        if (c.isSpace() && brackets.isEmpty()) {
            if (inToken) tokens.append(token);
            token.clear();
            inToken = false;
            continue;
        }
        // Brackets group only where a value starts, so a bare word may hold them as text.
        const bool valueStart = token.isEmpty() || token.endsWith(u'=');
        if ((c == u'[' || c == u'{') && (!brackets.isEmpty() || valueStart)) {
            brackets += c == u'[' ? u']' : u'}';
        } else if ((c == u']' || c == u'}') && !brackets.isEmpty()) {
            if (brackets.back() != c) {
                *error = scriptError(QStringLiteral("unbalanced '%1' in %2").arg(c).arg(text));
                return {};
            }
            brackets.chop(1);
        } else if (c == u'"') {
            inQuote = true;
        }
        token += c;
        inToken = true;
    }
    if (inQuote) {
        *error = scriptError(QStringLiteral("unterminated quote in %1").arg(text));
        return {};
    }
    if (!brackets.isEmpty()) {
        *error = scriptError(QStringLiteral("missing '%1' in %2").arg(brackets.back()).arg(text));
        return {};
    }
    if (inToken) tokens.append(token);
    return tokens;
}

QVariant parseValue(const QString& text, OptError* error) {
    error->reset();
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    static const QRegularExpression real(
        QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?$|^[+-]?(inf|nan)$"));

    if (text.startsWith(u'"')) {
        const QString s = unquote(text, error);
        return *error ? QVariant() : QVariant(s);
    }
    if (text == QLatin1String("true")) return true;
    if (text == QLatin1String("false")) return false;
    if (text.startsWith(u'<') && text.endsWith(u'>') && text.size() >= 2) {
        const auto bytes = parseHex(text.mid(1, text.size() - 2));
        if (!bytes) *error = scriptError(QStringLiteral("bad hex data %1").arg(text));
        return bytes ? QVariant(*bytes) : QVariant();
    }
    if (text.startsWith(u'[') || text.startsWith(u'{')) {
        QJsonParseError jsonError;
        const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &jsonError);
        if (document.isNull()) {
            *error = scriptError(QStringLiteral("bad JSON %1: %2").arg(text, jsonError.errorString()));
            return {};
        }
        const QJsonValue root =
            document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
        const QVariant v = fromJson(root, error);
        return *error ? QVariant() : v;
    }
    if (integer.match(text).hasMatch()) {
        bool ok = false;
        const qlonglong v = text.toLongLong(&ok);
        if (!ok) *error = scriptError(QStringLiteral("integer out of range: %1").arg(text));
        return ok ? QVariant(v) : QVariant();
    }
    if (real.match(text).hasMatch()) return text.toDouble();
    return text;
}

QVariant parseTypedValue(const QString& type, const QString& text, OptError* error) {
    error->reset();
    auto bad = [&]() {
        *error = scriptError(QStringLiteral("'%1' is not of type %2").arg(text, type));
        return QVariant();
    };
    if (type == QLatin1String("string")) {
        if (!text.startsWith(u'"')) return text;
        const QString s = unquote(text, error);
        return *error ? QVariant() : QVariant(s);
    }
    if (type == QLatin1String("int")) {
        bool ok = false;
        const qlonglong v = text.toLongLong(&ok);
        return ok ? QVariant(v) : bad();
    }
    if (type == QLatin1String("real")) {
        bool ok = false;
        const double v = text.toDouble(&ok);
        return ok ? QVariant(v) : bad();
    }
    if (type == QLatin1String("bool")) {
        if (text == QLatin1String("true") || text == QLatin1String("1")) return true;
        if (text == QLatin1String("false") || text == QLatin1String("0")) return false;
        return bad();
    }
    if (type == QLatin1String("data")) {
        const bool bracketed = text.startsWith(u'<') && text.endsWith(u'>') && text.size() >= 2;
        const auto bytes = parseHex(bracketed ? text.mid(1, text.size() - 2) : text);
        return bytes ? QVariant(*bytes) : bad();
    }
    if (type == QLatin1String("json")) {
        if (!text.startsWith(u'[') && !text.startsWith(u'{')) return bad();
        return parseValue(text, error);
    }
    *error = scriptError(QStringLiteral("unknown type '%1' (string, int, real, bool, data, json)").arg(type));
    return {};
}

std::vector<ScriptCommand> parse(const QString& text, OptError* error) {
    error->reset();
    std::vector<ScriptCommand> commands;
    const QStringList lines = text.split(u'\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QString line = lines[n];
        if (line.endsWith(u'\r')) line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#')) continue;

        auto lineError = [&](const QString& what) {
            *error = scriptError(QStringLiteral("line %1: %2").arg(n + 1).arg(what));
            return std::vector<ScriptCommand>{};
        };
        if (!commands.empty() && commands.back().kind == ScriptCommand::Disconnect)
            return lineError(QStringLiteral("nothing may follow disconnect"));

        const qsizetype blank = trimmed.indexOf(QRegularExpression(QStringLiteral("\\s")));
        const QString word = blank < 0 ? trimmed : trimmed.left(blank);
        // The rest of the line as written (one separating blank run removed), so texts and patterns
        // keep their own blanks, trailing ones included.
        QString rest;
        if (blank >= 0) {
            const qsizetype start = line.indexOf(word) + word.size();
            rest = line.mid(start);
            qsizetype skip = 0;
            while (skip < rest.size() && rest[skip].isSpace())
                ++skip;
            rest = rest.mid(skip);
        }

        OptError lineFailure;
        std::optional<ScriptCommand> command = parseLine(word, rest, &lineFailure);
        if (!command) return lineError(lineFailure ? lineFailure->description : QStringLiteral("bad line"));
        command->line = int(n + 1);
        command->source = trimmed;
        commands.push_back(std::move(*command));
    }
    return commands;
}

} // namespace DeviceScript
