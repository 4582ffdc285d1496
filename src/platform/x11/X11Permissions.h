#pragma once

#include "platform/Permissions.h"

// X11 lets every client of the display read the screen and, through XTest, post input: there is
// nothing to ask for. What is there is what the program could open: XTest; and the pen's pressure is
// withheld only when /dev/uinput is there but not writable by the user.
class X11Permissions final : public Permissions {
public:
    X11Permissions(bool inputPosting, bool pressureAllowed)
        : inputPosting_(inputPosting), pressureAllowed_(pressureAllowed) {}

    bool screenRecordingGranted() override { return true; }
    bool openScreenRecordingSettings() override { return false; }
    bool syntheticInputGranted() override { return inputPosting_; }
    bool penPressureGranted() override { return pressureAllowed_; }

private:
    bool inputPosting_;
    bool pressureAllowed_;
};
