#pragma once

#include <QString>
#include <cstdint>
#include <functional>

// The display's power state and the program's hold on it.
class Power {
public:
    // Display power messages, with the values the rest of the program knows them by.
    static constexpr uint32_t kMessageCanDevicePowerOff = 0xE0000200;  // the display may go to sleep
    static constexpr uint32_t kMessageDeviceWillPowerOff = 0xE0000210; // the display goes to sleep
    static constexpr uint32_t kMessageDeviceHasPoweredOn = 0xE0000230; // the display woke up

    using DisplayPowerHandler = std::function<void(uint32_t message)>;

    virtual ~Power() = default;

    // Starts watching the display's power and delivers each change on the main thread. False when
    // the system cannot tell (the program then never hears of display sleep). One handler at a time.
    virtual bool watchDisplayPower(DisplayPowerHandler handler) = 0;
    virtual void stopWatchingDisplayPower() = 0;

    // Keeps the display awake (no screen saver, no display sleep) while held; false when the system
    // offers no way to do it.
    virtual bool preventDisplaySleep(bool prevent, const QString& reason) = 0;
};
