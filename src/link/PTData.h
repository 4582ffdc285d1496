#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>

// One received payload. It shares the bytes that were read (no copy); they stay valid as long as
// this object, or a copy of data(), lives.
class PTData {
public:
    explicit PTData(QByteArray bytes);
    ~PTData();
    PTData(const PTData&) = default;
    PTData& operator=(const PTData&) = default;

    // The bytes as an array, so that keeping or parsing them never stops at a zero byte (binary
    // property lists are full of them); constData() is the pointer to the first one.
    const QByteArray& data() const { return dispatchData_; }
    const QByteArray& dispatchData() const { return dispatchData_; }
    size_t length() const { return length_; }

    // "<PTData: 0x... (N bytes)>"
    QString description() const;

private:
    QByteArray dispatchData_;
    size_t length_ = 0;
};
