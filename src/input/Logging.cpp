#include "base/Logging.h"

Q_LOGGING_CATEGORY(lcInput, "zubpad.input", QtInfoMsg)
