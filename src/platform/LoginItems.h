#pragma once

#include "base/Error.h"

#include <QString>
#include <optional>

// The program's entry among what the user's session starts at login. Safe to use from any thread:
// every call reads or writes the system's record afresh.
class LoginItems {
public:
    virtual ~LoginItems() = default;
    // The base name of the program the entry starts; nothing when there is no entry, it does not
    // parse, or the user turned it off.
    virtual std::optional<QString> loginItemProgram() = 0;
    // Makes the entry start the program at `programPath`, replacing what it started before.
    virtual OptError insertLoginItem(const QString& programPath) = 0;
    // Removes the entry; no error when there was none.
    virtual OptError removeLoginItem() = 0;
};
