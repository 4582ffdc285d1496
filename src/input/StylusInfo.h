#pragma once

#include <QString>
#include <cstdint>

// The device's stylus as it last reported itself; the status menu shows it. Several fields are part
// of the record the device may fill one day and are never set here.
struct StylusInfo {
    bool bBluetoothOn = false;
    // 0: no stylus; 100..105: a button was pressed. Other codes are the device's own and are kept as
    // they come.
    int32_t status = 0;
    QString name;
    QString manufacturerName;
    QString deviceUUID;
    QString deviceID;
    int64_t minPressure = 0;
    int64_t maxPressure = 0;
    // Percent; 0 shows the stylus as paired, without a level.
    int64_t batteryLevel = 0;
    int64_t buttonCount = 0;
    double pressure = 0.0;
};
