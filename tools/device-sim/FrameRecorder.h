#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <cstdint>

class QIODevice;

// Writes every frame of a link as one JSON line: {"dir": "in"|"out", "type", "tag", "size", ...} with
// the decoded text or dictionary (FrameJson::describeFrame). Each line is flushed at once, so a reader
// can follow the record while the link runs.
class FrameRecorder {
public:
    enum Direction { Received, Sent };

    // Does not take `out`; it must stay open while the recorder writes.
    explicit FrameRecorder(QIODevice* out) : out_(out) {}

    // `extra` adds fields of the caller's (what became of a video frame).
    void record(Direction direction, uint32_t type, uint32_t tag, const QByteArray& payload,
                const QJsonObject& extra = {});
    // Any other line (raw bytes sent, notes), written the same way.
    void write(const QJsonObject& line);
    // Stamps every line with "t", microseconds of the monotonic clock, so that another process on
    // the machine can tell how long a frame took to have its effect.
    void setTimestamps(bool on) { timestamps_ = on; }

private:
    QIODevice* out_;
    bool timestamps_ = false;
};
