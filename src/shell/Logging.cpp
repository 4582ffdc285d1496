#include "base/Logging.h"

Q_LOGGING_CATEGORY(lcShell, "zubpad.shell", QtInfoMsg)
