#pragma once

#include "platform/CursorSource.h"

#include <QObject>
#include <memory>

class QSocketNotifier;
typedef struct _XDisplay Display;

// The X server's cursor through XFixes, on a connection of its own read on the main thread: the
// picture is read again only after a cursor-change notice, so positions sent while the cursor stays
// the same cost no round trip. X has no visibility of its own for the cursor: a client hides it by
// setting a wholly transparent one (or one of no size), and that is what counts as hidden. The capture
// leaves the cursor out of the picture whenever it is forwarded, so the picture never holds it.
class X11CursorSource final : public QObject, public CursorSource {
    Q_OBJECT
public:
    // An empty name opens $DISPLAY on first use.
    explicit X11CursorSource(const QString& displayName = {});
    ~X11CursorSource() override;

    std::optional<Cursor> currentCursor() override;
    bool isCursorVisible() override;
    bool cursorInFrameBuffer() const override { return false; }
    void setCursorChangedHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

    // Reads the notices that have arrived; the socket notifier does this by itself.
    void processEvents();

private:
    bool open();
    // Takes the notices Xlib has read; true when the cursor changed (the handler is then owed a call).
    bool takeNotices();
    void refresh();

    QString displayName_;
    Display* display_ = nullptr;
    bool opened_ = false;
    int fixesEventBase_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> handler_;
    bool stale_ = true;
    bool noticePending_ = false;
    std::optional<Cursor> cursor_;
    bool visible_ = true;
};
