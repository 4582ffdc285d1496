#include "base/Logging.h"

Q_LOGGING_CATEGORY(lcVideo, "zubpad.video", QtInfoMsg)
