#pragma once

#include "base/UserDefaults.h"
#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDesktop.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeInput.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingEventPoster.h"
#include "fakes/TestSupport.h"
#include "input/InputTranslation.h"

#include <gtest/gtest.h>
#include <memory>

// The input wired to fakes: one main display of 1920 x 1080 points, streamed; a clock that moves when
// told; hooks that write into `calls`.
class InputTest : public ::testing::Test {
protected:
    InputTest() : defaults(tempPath(QStringLiteral("input-defaults-%1/zubpad.plist").arg(++counter))) {
        displays.addDisplay({.id = 1, .bounds = QRectF(0, 0, 1920, 1080)});
        poster.desktopHeight = 1080;
        hooks.checkPeerProtocolVersion = [this](const QString& v) { return v == "1.0.7" && peerIsNew; };
        hooks.sendMessage = [this](const QString& m, int32_t ch) {
            calls << QStringLiteral("%1/%2").arg(m).arg(ch);
        };
        hooks.mouseCursorMoved = [this] { calls << "cursorMoved"; };
        hooks.simulateSmartZoomEvent = [this] { calls << "smartZoom"; };
    }

    InputTranslation& input() {
        if (!input_)
            input_ = std::make_unique<InputTranslation>(InputTranslation::Platform{poster, eventMonitor,
                                                                                   inputSources, workspace,
                                                                                   defaults, &clipboard},
                                                        controller, hooks);
        return *input_;
    }
    int32_t activate(const QString& identifier, const QString& name = {}) {
        workspace.frontmost = {identifier, name};
        return input().getCurrentApp();
    }

    // What was posted since the last call, one word each: "down@960,540#2" (click state 2), "kd6^100000"
    // (key down with flags), "ku55!2" (key up at tap 2), "wheel:0,10", "warp@10,20", "pmove+" and
    // "prox+" (the proximity pair, entering), "released".
    QString take() {
        QStringList words;
        for (const RecordingEventPoster::Record& r : poster.records) {
            if (r.kind == RecordingEventPoster::Record::Warp)
                words << QStringLiteral("warp@%1,%2").arg(r.location.x()).arg(r.location.y());
            else if (r.kind == RecordingEventPoster::Record::ReleaseHeld)
                words << "released";
            else if (r.kind == RecordingEventPoster::Record::Post)
                words << describe(r.event) + (r.tap ? QStringLiteral("!%1").arg(r.tap) : QString());
        }
        poster.records.clear();
        return words.join(' ');
    }
    static QString describe(const Event& e) {
        if (e.type == EventType::kKeyDown || e.type == EventType::kKeyUp)
            return QStringLiteral("%1%2").arg(e.type == EventType::kKeyDown ? "kd" : "ku").arg(e.keyCode) +
                   (e.flags ? QStringLiteral("^%1").arg(e.flags, 0, 16) : QString());
        if (e.type == EventType::kScrollWheel) {
            QStringList values;
            for (int i = 0; i < e.wheelCount; ++i)
                values << QString::number(e.wheels[i]);
            return "wheel:" + values.join(',');
        }
        if (e.integerField(EventField::kMouseEventSubtype) == kEventSubtypeTabletProximity)
            return QString(e.type == EventType::kTabletProximity ? "prox" : "pmove") +
                   (e.integerField(EventField::kTabletProximityEventEnterProximity) ? '+' : '-');
        static const std::map<int32_t, QString> names{{1, "down"}, {2, "up"},   {3, "rdown"},
                                                      {4, "rup"},  {5, "move"}, {6, "drag"}};
        const int64_t clicks = e.integerField(EventField::kMouseEventClickState);
        return QStringLiteral("%1@%2,%3").arg(names.at(e.type)).arg(e.location.x()).arg(e.location.y()) +
               (clicks ? QStringLiteral("#%1").arg(clicks) : QString());
    }

    static inline int counter = 0;
    ManualClock clock;
    UserDefaults defaults;
    FakeDisplayServices displays;
    ZDVirtualScreenController controller{displays};
    RecordingEventPoster poster;
    FakeEventMonitor eventMonitor;
    FakeInputSources inputSources;
    FakeClipboard clipboard;
    FakeWorkspace workspace;
    InputHooks hooks;
    bool peerIsNew = false;
    QStringList calls;
    std::unique_ptr<InputTranslation> input_;
};
