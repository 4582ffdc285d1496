#pragma once

typedef struct _XDisplay Display;

// Opens a connection to the X server `name` (nullptr: $DISPLAY). A busy server resets some of many
// connections opened in quick succession (Xvfb does, about one in ten), so a refused attempt is tried
// again a few times before giving up. nullptr when there is no server.
Display* openXDisplay(const char* name = nullptr);
