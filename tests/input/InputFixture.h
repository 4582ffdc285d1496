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

#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

// The input wired to fakes: a main display of 1920 x 1080 points that is also the streamed one, a
// clock that moves when told, and hooks that write into `calls`.
class InputTest : public ::testing::Test {
protected:
    InputTest() : defaults(tempPath(QStringLiteral("input-defaults-%1/zubpad.plist").arg(++counter))) {
        displays.addDisplay({.id = 1, .bounds = QRectF(0, 0, 1920, 1080)});
        poster.desktopHeight = 1080;
        hooks.checkPeerProtocolVersion = [this](const QString&) { return peerIsNew; };
        hooks.sendMessage = [this](const QString& m, int32_t ch) {
            calls << QStringLiteral("%1/%2").arg(m).arg(ch);
        };
        hooks.mouseCursorMoved = [this] { calls << "mouseCursorMoved"; };
        hooks.simulateSmartZoomEvent = [this] { calls << "smartZoom"; };
    }

    InputTranslation& input() {
        if (!input_)
            input_ = std::make_unique<InputTranslation>(
                InputTranslation::Platform{poster, eventMonitor, inputSources, workspace, defaults},
                controller, hooks);
        return *input_;
    }
    // Brings an application to the front and lets the input read it.
    int32_t activate(const QString& bundleIdentifier, const QString& name = {}) {
        workspace.frontmost = {bundleIdentifier, name};
        return input().getCurrentApp();
    }

    // What was posted and warped since the last call, one line per request: "down 960,540",
    // "key-down 6 cmd", "warp 10,20"... Fields are shown where the test asks for them.
    QStringList take(bool withFields = false) {
        QStringList lines;
        for (const RecordingEventPoster::Record& r : poster.records) {
            switch (r.kind) {
            case RecordingEventPoster::Record::Warp:
                lines << QStringLiteral("warp %1,%2").arg(r.location.x()).arg(r.location.y());
                break;
            case RecordingEventPoster::Record::ReleaseHeld:
                lines << QStringLiteral("release-held");
                break;
            case RecordingEventPoster::Record::Associate:
                break;
            case RecordingEventPoster::Record::Post:
                lines << describe(r.event, r.tap, withFields);
                break;
            }
        }
        poster.records.clear();
        return lines;
    }

    static QString describe(const Event& e, int32_t tap, bool withFields) {
        static const std::map<int32_t, QString> names{
            {1, "down"},    {2, "up"},        {3, "right-down"}, {4, "right-up"}, {5, "moved"},
            {6, "dragged"}, {10, "key-down"}, {11, "key-up"},    {22, "scroll"},  {24, "proximity"}};
        QString line = names.count(e.type) ? names.at(e.type) : QString::number(e.type);
        if (e.type == 10 || e.type == 11) {
            line += QStringLiteral(" %1").arg(e.keyCode);
            if (e.flags) line += QStringLiteral(" 0x%1").arg(e.flags, 0, 16);
        } else if (e.type == 22) {
            for (int i = 0; i < e.wheelCount; ++i)
                line += QStringLiteral(" %1").arg(e.wheels[i]);
        } else {
            line += QStringLiteral(" %1,%2").arg(e.location.x()).arg(e.location.y());
        }
        if (tap != 0) line += QStringLiteral(" tap%1").arg(tap);
        if (withFields) {
            for (const auto& [field, value] : e.integerFields)
                line += QStringLiteral(" i%1=%2").arg(field).arg(value);
            for (const auto& [field, value] : e.doubleFields)
                line += QStringLiteral(" d%1=%2").arg(field).arg(value);
        }
        return line;
    }

    static QVariantMap message(std::initializer_list<std::pair<const char*, QVariant>> values) {
        QVariantMap m;
        for (const auto& [key, value] : values)
            m.insert(QString::fromLatin1(key), value);
        return m;
    }

    static inline int counter = 0;
    ManualClock clock;
    UserDefaults defaults;
    FakeDisplayServices displays;
    ZDVirtualScreenController controller{displays};
    RecordingEventPoster poster;
    FakeEventMonitor eventMonitor;
    FakeInputSources inputSources;
    FakeWorkspace workspace;
    InputHooks hooks;
    bool peerIsNew = false;
    QStringList calls;
    std::unique_ptr<InputTranslation> input_;
};
