#pragma once

#include <QLoggingCategory>

// The agent's diagnostics: one Qt logging category per folder, each defined once in its folder's
// Logging.cpp. Info, warnings and errors are on by default and go to the standard error (the journal
// when the desktop started the agent); debug is turned on as Qt users expect, e.g.
// QT_LOGGING_RULES="zubpad.*.debug=true". What a user needs to learn why the tablet does not work is
// said once per cause, never per frame.
Q_DECLARE_LOGGING_CATEGORY(lcLink)     // "zubpad.link": src/link
Q_DECLARE_LOGGING_CATEGORY(lcSession)  // "zubpad.session": src/session
Q_DECLARE_LOGGING_CATEGORY(lcVideo)    // "zubpad.video": src/video
Q_DECLARE_LOGGING_CATEGORY(lcDisplay)  // "zubpad.display": src/display
Q_DECLARE_LOGGING_CATEGORY(lcInput)    // "zubpad.input": src/input
Q_DECLARE_LOGGING_CATEGORY(lcShell)    // "zubpad.shell": src/shell
Q_DECLARE_LOGGING_CATEGORY(lcPlatform) // "zubpad.platform": src/platform and its backends
