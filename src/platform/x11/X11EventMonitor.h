#pragma once

#include "platform/EventMonitor.h"

#include <QObject>
#include <map>
#include <memory>

class QSocketNotifier;
class XkbLayout;
typedef struct _XDisplay Display;

// Watches the keys pressed anywhere on the desktop without taking them: XInput 2's raw key presses on
// the root window, which every client may select and which no grab holds back, read on the main thread
// from a connection of its own. Their characters are what the key types in the current layout without
// modifiers; keys that type nothing (modifiers among them) are no key-downs to the handlers. Pointer
// movements are XInput 2's raw motions: a pointing device moved the pointer (XTest's included), a
// warp is none.
class X11EventMonitor final : public QObject, public EventMonitor {
    Q_OBJECT
public:
    // The least time between two calls of the movement handlers: the display's refresh.
    static constexpr double kMouseMovedInterval = 1.0 / 60;

    // An empty name opens $DISPLAY when the first monitor is added.
    explicit X11EventMonitor(const QString& displayName = {});
    ~X11EventMonitor() override;

    std::optional<MonitorId> addGlobalKeyDownMonitor(KeyDownHandler handler) override;
    std::optional<MonitorId> addGlobalMouseMovedMonitor(MouseMovedHandler handler) override;
    void removeMonitor(MonitorId monitor) override;

    // Reads the events that have arrived; the socket notifier does this by itself.
    void processEvents();

private:
    bool open();
    void selectEvents();
    void deliverMouseMoved();

    QString displayName_;
    Display* display_ = nullptr;
    int xiOpcode_ = -1;
    std::unique_ptr<XkbLayout> layout_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<MonitorId, KeyDownHandler> handlers_;
    std::map<MonitorId, MouseMovedHandler> mouseHandlers_;
    bool selectedKeys_ = false, selectedMotion_ = false;
    // The coalescing of movements: when the handlers were called last, and the call owed meanwhile.
    double lastMouseDelivery_ = -1.0;
    std::optional<quint64> pendingMouseDelivery_;
    MonitorId nextId_ = 1;
};
