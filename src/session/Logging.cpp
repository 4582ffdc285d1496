#include "base/Logging.h"

Q_LOGGING_CATEGORY(lcSession, "zubpad.session", QtInfoMsg)
