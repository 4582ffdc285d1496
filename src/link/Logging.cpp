#include "base/Logging.h"

Q_LOGGING_CATEGORY(lcLink, "zubpad.link", QtInfoMsg)
