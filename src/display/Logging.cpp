#include "base/Logging.h"

Q_LOGGING_CATEGORY(lcDisplay, "zubpad.display", QtInfoMsg)
