#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>

// One received payload. It shares the bytes that were read (no copy); they stay valid as long as
// this object, or a copy of dispatchData(), lives.
class PTData {
public:
    explicit PTData(QByteArray bytes);
    ~PTData();
    PTData(const PTData&) = default;
    PTData& operator=(const PTData&) = default;

    const QByteArray& dispatchData() const { return dispatchData_; }
    const char* data() const { return data_; }
    size_t length() const { return length_; }

    // "<PTData: 0x... (N bytes)>"
    QString description() const;

private:
    QByteArray dispatchData_;
    const char* data_ = nullptr;
    size_t length_ = 0;
};
