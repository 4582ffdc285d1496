#pragma once

#include "platform/DisplayServices.h"

#include <QString>

// Names one capturable device; for the desktop source a device is a display. Two devices are the same
// when their unique IDs are, so a device with only the right unique ID finds its match in a list.
class AbstractCaptureDevice {
public:
    AbstractCaptureDevice() = default;
    AbstractCaptureDevice(QString name, DisplayID device, QString uniqueID)
        : captureName_(std::move(name)), captureDevice_(device), uniqueID_(std::move(uniqueID)) {}

    // A display's unique ID: its ID in decimal followed by the letter d ("5d").
    static QString uniqueIDForDisplay(DisplayID display) {
        return QString::number(display) + QLatin1Char('d');
    }

    const QString& captureName() const { return captureName_; }
    DisplayID captureDevice() const { return captureDevice_; }
    const QString& uniqueID() const { return uniqueID_; }

    bool isEqual(const AbstractCaptureDevice& other) const { return uniqueID_ == other.uniqueID_; }
    bool operator==(const AbstractCaptureDevice& other) const { return isEqual(other); }

private:
    QString captureName_;
    DisplayID captureDevice_ = kNullDisplayID;
    QString uniqueID_;
};
