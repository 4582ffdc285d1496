#pragma once

#include <QString>
#include <optional>

typedef struct _XDisplay Display;
typedef union _XEvent XEvent;
struct _XkbDesc;

// What each key types in the keyboard layout the X server uses now: the current XKB group of the core
// keyboard's map. The map and the group are followed through XKB's notices, which the owner of the
// connection hands in as they arrive, so a layout switched meanwhile (setxkbmap, the desktop's layout
// switcher) is what the next question is answered from.
class XkbLayout {
public:
    // Selects the notices on `display`, which the caller keeps open and reads.
    explicit XkbLayout(Display* display);
    ~XkbLayout();
    XkbLayout(const XkbLayout&) = delete;
    XkbLayout& operator=(const XkbLayout&) = delete;

    // Whether the server answered with a keyboard map.
    bool valid() const { return desc_ != nullptr; }
    // Takes in an event read from the connection; whether it was XKB's.
    bool handleEvent(const XEvent& event);
    // Reads the notices that have arrived on the connection without waiting for more; other events are
    // dropped, so only a connection that reads nothing else may use this.
    void catchUp();
    // What `keycode` types without modifiers: none for a key the map does not know, an empty string for
    // a key that types nothing (a modifier, a dead key, a function key).
    std::optional<QString> characters(unsigned keycode) const;

private:
    void reloadMap();

    Display* display_;
    int eventBase_ = -1;
    _XkbDesc* desc_ = nullptr;
    int group_ = 0;
};
