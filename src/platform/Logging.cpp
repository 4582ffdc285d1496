#include "base/Logging.h"

Q_LOGGING_CATEGORY(lcPlatform, "zubpad.platform", QtInfoMsg)
