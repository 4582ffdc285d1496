#pragma once

#include "platform/Clipboard.h"
#include "platform/EventMonitor.h"
#include "platform/InputSources.h"

#include <QStringList>
#include <map>

// A key and pointer monitor the test types into and moves.
class FakeEventMonitor final : public EventMonitor {
public:
    std::optional<MonitorId> addGlobalMouseMovedMonitor(MouseMovedHandler handler) override {
        if (!available) return std::nullopt;
        mouseHandlers[nextId] = std::move(handler);
        return nextId++;
    }
    std::optional<MonitorId> addGlobalKeyDownMonitor(KeyDownHandler handler) override {
        if (!available) return std::nullopt;
        handlers[nextId] = std::move(handler);
        return nextId++;
    }
    void removeMonitor(MonitorId monitor) override {
        handlers.erase(monitor);
        mouseHandlers.erase(monitor);
    }
    // A key pressed anywhere on the desktop.
    void type(const QString& characters) const {
        for (const auto& [id, handler] : handlers)
            handler(characters);
    }

    // The pointer moved by a device (the test moves the pointer's position itself).
    void moveMouse() const {
        for (const auto& [id, handler] : std::map(mouseHandlers))
            handler();
    }

    bool available = true;
    std::map<MonitorId, KeyDownHandler> handlers;
    std::map<MonitorId, MouseMovedHandler> mouseHandlers;
    MonitorId nextId = 1;
};

// A keyboard layout of the test's making: each key types what `keys` says (the US positions of the
// letters the tests use when left alone), a key missing types nothing.
class FakeInputSources final : public InputSources {
public:
    bool hasCurrentKeyLayout() override { return hasLayout; }
    std::optional<QString> translateKeyCode(uint16_t keyCode) override {
        const auto it = keys.find(keyCode);
        return it == keys.end() ? QString() : it->second;
    }

    QString currentKeyboardInputSourceID() override { return current; }
    QStringList enabledInputSourceIDs() override { return enabled; }
    bool selectInputSource(const QString& sourceID) override {
        selected << sourceID;
        if (!enabled.contains(sourceID) || refuseSelection) return false;
        current = sourceID;
        return true;
    }
    bool selectionNeedsFocusRoundTrip() override { return needsRoundTrip; }

    bool hasLayout = true;
    std::map<uint16_t, QString> keys{{6, QStringLiteral("z")}, {16, QStringLiteral("y")}};
    QString current;
    QStringList enabled;
    QStringList selected;
    bool refuseSelection = false;
    bool needsRoundTrip = true;
};

// A clipboard that keeps what it was given; the test says when another program reads it.
class FakeClipboard final : public Clipboard {
public:
    bool setText(const QString& text, std::function<void()> taken) override {
        if (refuse) return false;
        texts << text;
        taken_ = std::move(taken);
        return true;
    }
    // Another program reads the text.
    void read() {
        if (taken_) std::exchange(taken_, nullptr)();
    }

    bool refuse = false;
    QStringList texts;

private:
    std::function<void()> taken_;
};
