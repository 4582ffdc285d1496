#include "FrameRecorder.h"

#include "FrameJson.h"
#include "base/Clock.h"
#include "session/PeerMessage.h"

#include <QFileDevice>
#include <QIODevice>

void FrameRecorder::record(Direction direction, uint32_t type, uint32_t tag, const QByteArray& payload,
                           const QJsonObject& extra) {
    QJsonObject line = FrameJson::describeFrame(type, tag, payload);
    for (auto it = extra.begin(); it != extra.end(); ++it)
        line.insert(it.key(), it.value());
    line.insert(QStringLiteral("dir"), direction == Received ? QStringLiteral("in") : QStringLiteral("out"));
    write(line);
}

void FrameRecorder::write(const QJsonObject& line) {
    if (!out_) return;
    if (timestamps_) {
        QJsonObject stamped = line;
        stamped.insert(QStringLiteral("t"), qint64(Clock::shared().uptime() * 1e6));
        out_->write(FrameJson::line(stamped) + '\n');
    } else {
        out_->write(FrameJson::line(line) + '\n');
    }
    if (auto* file = qobject_cast<QFileDevice*>(out_)) file->flush();
}
