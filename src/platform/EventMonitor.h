#pragma once

#include <QString>
#include <functional>
#include <optional>

// Watches input that goes to other applications, without taking it from them.
class EventMonitor {
public:
    using MonitorId = quint64;
    using KeyDownHandler = std::function<void(const QString& characters)>;
    using MouseMovedHandler = std::function<void()>;

    virtual ~EventMonitor() = default;

    // Calls `handler` on the main thread with the characters of each key pressed anywhere on the
    // desktop. None when the desktop offers no way to watch keys.
    virtual std::optional<MonitorId> addGlobalKeyDownMonitor(KeyDownHandler handler) = 0;
    // Calls `handler` on the main thread when the pointer was moved by a pointing device (moved or
    // dragged with any button), wherever it is; a pointer set to a place by a program is no movement.
    // Rapid movements are coalesced to at most one call per display refresh (1/60 s), the last one
    // always delivered. None when the desktop offers no way to watch the pointer.
    virtual std::optional<MonitorId> addGlobalMouseMovedMonitor(MouseMovedHandler handler) = 0;
    virtual void removeMonitor(MonitorId monitor) = 0;
};
