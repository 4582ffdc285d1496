#pragma once

#include <QString>
#include <functional>
#include <optional>

// Watches input that goes to other applications, without taking it from them.
class EventMonitor {
public:
    using MonitorId = quint64;
    using KeyDownHandler = std::function<void(const QString& characters)>;

    virtual ~EventMonitor() = default;

    // Calls `handler` on the main thread with the characters of each key pressed anywhere on the
    // desktop. None when the desktop offers no way to watch keys.
    virtual std::optional<MonitorId> addGlobalKeyDownMonitor(KeyDownHandler handler) = 0;
    virtual void removeMonitor(MonitorId monitor) = 0;
};
