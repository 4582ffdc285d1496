// Feeds the zoom, rotation and pan handlers what a hostile device could send: any application in
// front, any run of starts, changes and ends, and any numbers (NaN, infinities, huge ones) for place,
// scale, rotation and speed. Checks that every event posted has a place and values the desktop can
// take, and that once the link ends the input itself has let go of every key and button it held.
#include "base/UserDefaults.h"
#include "display/ZDVirtualScreenController.h"
#include "input/InputTranslation.h"
#include "platform/EventPoster.h"

#include "fakes/FakeDesktop.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeInput.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_gestures: %s\n", what);
    std::abort();
}

// Keeps what the posted events hold down: the keys a pan or zoom holds and the buttons.
class CheckingPoster final : public EventPoster {
public:
    void post(const Event& e, int32_t) override {
        if (!std::isfinite(e.location.x()) || !std::isfinite(e.location.y()))
            fail("an event without a place");
        if (e.type == EventType::kKeyDown && (e.keyCode == 49 || e.keyCode == 58)) keys.insert(e.keyCode);
        if (e.type == EventType::kKeyUp) keys.erase(e.keyCode);
        if (e.type == EventType::kLeftMouseDown || e.type == EventType::kOtherMouseDown)
            buttons.insert(e.mouseButton);
        if (e.type == EventType::kLeftMouseUp || e.type == EventType::kOtherMouseUp)
            buttons.erase(e.mouseButton);
    }
    void postGesture(const GestureEvent& g, int32_t) override {
        if (!std::isfinite(g.value)) fail("a gesture value that is no number");
        if (g.subtype == GestureSubtype::kMagnify && std::fabs(g.value) > 0.0500001)
            fail("magnify too large");
    }
    void warpMouseCursorPosition(QPointF p) override {
        if (!std::isfinite(p.x()) || !std::isfinite(p.y())) fail("a warp without a place");
    }
    void associateMouseAndMouseCursorPosition(bool) override {}
    QPointF mouseLocation() const override { return {}; }
    QPointF nullEventLocation() const override { return {}; }
    void releaseHeldInput() override {
        // By now the input has ended its gestures itself.
        if (!keys.empty() || !buttons.empty()) fail("a key or button left held when the link ended");
    }
    std::set<uint16_t> keys;
    std::set<int32_t> buttons;
};

double number(const uint8_t*& data, size_t& size) {
    double value = 0;
    if (size >= sizeof value) {
        std::memcpy(&value, data, sizeof value);
        data += sizeof value;
        size -= sizeof value;
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_gestures";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("zubpad.*=false"));
        return true;
    }();
    (void)quiet;
    static QTemporaryDir settings;
    static UserDefaults defaults(settings.filePath(QStringLiteral("defaults.plist")));
    static FakeDisplayServices displays = [] {
        FakeDisplayServices d;
        d.addDisplay({.id = 1, .bounds = QRectF(0, 0, 1920, 1080)});
        return d;
    }();
    if (size < 1) return 0;

    static const char* const applications[] = {
        "com.adobe.Photoshop", "com.corel.Painter",  "com.autodesk.sketchbook",
        "com.autodesk.Maya",   "org.gimp.GIMP",      "com.allegorithmic.substance-painter",
        "com.apple.finder",    "com.autodesk.Mudbox"};
    FakeWorkspace workspace;
    FakeEventMonitor monitor;
    FakeInputSources layouts;
    CheckingPoster poster;
    ZDVirtualScreenController screens(displays);
    InputHooks hooks;
    hooks.deviceCategory = [] { return QStringLiteral("iPhone"); };
    InputTranslation input({poster, monitor, layouts, workspace, defaults}, screens, std::move(hooks));
    // Each message: a byte for the kind and the start and end, then the numbers. A few dozen make
    // every gesture's run of start, changes and end; more only slow the search.
    // The application in front changes now and then (each change reads the profiles anew, which is
    // slow): on a head whose low bits are all set.
    workspace.frontmost = {QString::fromLatin1(applications[data[0] & 7]), {}};
    input.getCurrentApp();
    for (int messages = 0; size > 0 && messages < 48; ++messages) {
        const uint8_t head = *data++;
        --size;
        if ((head & 7) == 7) {
            workspace.frontmost = {QString::fromLatin1(applications[(head >> 3) & 7]), {}};
            input.getCurrentApp();
        }
        const int kind = (head >> 3) % 3;
        const bool start = head & 0x20, end = head & 0x40;
        static const char* const phases[3][2] = {
            {"startOfZoom", "endOfZoom"}, {"startOfRotation", "endOfRotation"}, {"startOfPan", "endOfPan"}};
        QVariantMap m{{phases[kind][0], start}, {phases[kind][1], end}};
        if (!(head & 0x80)) {
            m.insert(QStringLiteral("x"), number(data, size));
            m.insert(QStringLiteral("y"), number(data, size));
        }
        const double value = number(data, size);
        if (kind == 0) {
            m.insert(QStringLiteral("scale"), value);
            m.insert(QStringLiteral("zoom"), int(head & 3));
            input.handleZoomEvent(m);
        } else if (kind == 1) {
            m.insert(QStringLiteral("rotation"), value);
            input.handleTwoFingerRotationEvent(m);
        } else {
            m.insert(QStringLiteral("vx"), value);
            input.handleTwoFingerPanEvent(m);
        }
    }
    input.releaseHeldInput();
    QCoreApplication::processEvents();
    return 0;
}
