#pragma once

#include "platform/Permissions.h"

// X11 lets every client of the display read the screen: there is nothing to ask for.
class X11Permissions final : public Permissions {
public:
    bool screenRecordingGranted() override { return true; }
    bool openScreenRecordingSettings() override { return false; }
};
