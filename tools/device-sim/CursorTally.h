#pragma once

#include <QJsonObject>
#include <QVariantMap>

// What the app heard of the desktop's cursor: positions, pictures (and those that do not decode as an
// image), hidden and shown.
class CursorTally {
public:
    // Takes any event the agent sent; the cursor's are counted.
    void receive(const QVariantMap& event);
    bool empty() const { return positions_ + hidden_ + shown_ == 0; }
    // {"positions", "images", "badImages", "hidden", "shown", "lastImage": "WxH"}.
    QJsonObject summary() const;

private:
    int positions_ = 0, images_ = 0, badImages_ = 0, hidden_ = 0, shown_ = 0;
    QString lastImage_;
};
