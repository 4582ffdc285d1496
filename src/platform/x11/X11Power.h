#pragma once

#include "base/Clock.h"
#include "platform/Power.h"

#include <optional>
#include <vector>

// Display power on X11: the DPMS state of the server, polled (the extension sends no events), and
// the screen saver extension's suspend to keep the display awake. A server without DPMS (Xvfb)
// never reports display sleep.
class X11Power final : public Power {
public:
    // The DPMS power levels, in the extension's numbering.
    enum class Level { On = 0, Standby = 1, Suspend = 2, Off = 3 };

    // `displayName` empty: $DISPLAY.
    explicit X11Power(QString displayName = {}, double pollInterval = 2.0);
    ~X11Power() override;

    bool watchDisplayPower(DisplayPowerHandler handler) override;
    void stopWatchingDisplayPower() override;
    bool preventDisplaySleep(bool prevent, const QString& reason) override;

    // The display power messages that a change between two levels stands for.
    static std::vector<uint32_t> displayPowerMessages(Level from, Level to);

private:
    std::optional<Level> currentLevel() const;
    void poll();

    QString displayName_;
    double pollInterval_;
    void* display_ = nullptr; // Display*, kept out of the header
    bool hasDpms_ = false;
    bool suspended_ = false;
    DisplayPowerHandler handler_;
    Level lastLevel_ = Level::On;
    std::optional<Clock::TimerId> pollTimer_;
};
