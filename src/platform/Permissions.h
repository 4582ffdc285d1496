#pragma once

// Permissions the system may withhold from the program.
class Permissions {
public:
    virtual ~Permissions() = default;

    // Whether the program may capture the screen.
    virtual bool screenRecordingGranted() = 0;
    // Opens the system settings page where the screen-recording permission is granted; false when
    // the system has no such page.
    virtual bool openScreenRecordingSettings() = 0;
    // Whether synthetic pointer and key events reach the desktop.
    virtual bool syntheticInputGranted() { return true; }
    // Whether the system lets the pen's pressure, tilt and hover reach drawing programs (false only
    // when the user could grant it).
    virtual bool penPressureGranted() { return true; }
};
